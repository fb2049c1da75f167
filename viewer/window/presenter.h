// The viewer's window: an SDL window and renderer that show the newest
// picture letterboxed, the overlay's lines in the top-left corner and a
// banner ("connecting", "reconnecting") over the dimmed picture. All calls
// on the thread that created it, except wake(), which any thread may call to
// get the window's event wait to return (at most one wake is pending).
#pragma once

#include <SDL.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "viewer/media/picture.h"
#include "viewer/window/picture_mailbox.h"
#include "viewer/window/view_mapping.h"

namespace sorvane::viewer {

struct PresenterOptions {
    std::string title = "Sorvane";
    uint32_t width = 1280;  // the window's size when not full screen
    uint32_t height = 720;
    bool fullscreen = false;  // on the whole display
    bool maximized = false;   // as large as the desktop lets it be
};

class Presenter {
public:
    ~Presenter();
    Presenter(const Presenter&) = delete;
    Presenter& operator=(const Presenter&) = delete;

    // Needs SDL's video subsystem. Null with error when there is no window.
    static std::unique_ptr<Presenter> create(const PresenterOptions& options, std::string& error);

    // The pixel format pictures are to be converted to.
    uint32_t picture_format() const { return format_; }
    std::string renderer_name() const { return renderer_name_; }
    std::string format_name() const { return SDL_GetPixelFormatName(format_); }

    // The window's size in the units of its mouse events, with the stream.
    ViewMapping input_mapping(uint32_t stream_w, uint32_t stream_h) const;

    // Draws the picture (null: the last one again), the overlay and the
    // banner (empty: none), and shows them. capture, when given, receives
    // what was drawn, the window's whole area. False with last_error when SDL
    // refused a step.
    bool draw(const Picture* picture, const std::vector<std::string>& overlay, std::string_view banner,
              RgbImage* capture = nullptr);

    // Any thread: makes the event wait return with a wake event.
    void wake();
    // Whether event is a wake; the next wake() posts again after it was seen.
    bool is_wake(const SDL_Event& event);

    uint32_t window_id() const { return SDL_GetWindowID(window_); }
    const std::string& last_error() const { return error_; }

private:
    Presenter() = default;
    bool upload(const Picture& picture);
    void fill_text(std::string_view text, int x, int y, int scale);

    SDL_Window* window_ = nullptr;
    SDL_Renderer* renderer_ = nullptr;
    SDL_Texture* texture_ = nullptr;
    uint32_t texture_w_ = 0, texture_h_ = 0;
    uint32_t format_ = SDL_PIXELFORMAT_RGB888;
    std::string renderer_name_;
    uint32_t wake_type_ = 0;
    std::atomic<bool> wake_pending_{false};
    std::vector<SDL_Rect> rects_;
    std::string error_;
};

}  // namespace sorvane::viewer
