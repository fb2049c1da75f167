#include "platform/event.h"

#include <condition_variable>
#include <mutex>

namespace sorvane::platform {

namespace {

// One mutex and condition variable for every event: a wait on several events
// then needs no registration, and the few waiters of a process share it.
std::mutex& event_mutex() {
    static std::mutex m;
    return m;
}

std::condition_variable& event_cv() {
    static std::condition_variable cv;
    return cv;
}

}  // namespace

Event::Event(bool manual_reset, bool initially_set) : manual_(manual_reset), set_(initially_set) {}

void Event::set() {
    {
        std::lock_guard<std::mutex> g(event_mutex());
        set_.store(true);
    }
    event_cv().notify_all();
}

void Event::reset() {
    std::lock_guard<std::mutex> g(event_mutex());
    set_.store(false);
}

bool Event::is_set() const { return set_.load(); }

int Event::wait_any(std::initializer_list<Event*> events, IClock& clock, uint64_t timeout_ms) {
    std::unique_lock<std::mutex> lock(event_mutex());
    int found = -1;
    const auto pred = [&] {
        int i = 0;
        for (Event* e : events) {
            if (e != nullptr && e->set_.load()) {
                found = i;
                return true;
            }
            ++i;
        }
        return false;
    };
    if (!clock.wait_until(lock, event_cv(), clock.now_ms() + timeout_ms, pred)) return -1;
    Event* e = *(events.begin() + found);
    if (!e->manual_) e->set_.store(false);
    return found;
}

}  // namespace sorvane::platform
