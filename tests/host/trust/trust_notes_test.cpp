#include <gtest/gtest.h>

#include "host/trust/trust_status.h"
#include "platform/clock.h"

namespace sorvane {
namespace {

TEST(TrustNotes, SettingsValuesOfEachEvent) {
    const int64_t wall = platform::wall_ms_from_utc({2026, 3, 4, 5, 6, 7, 0});
    EXPECT_TRUE(trust_notes({}, wall).empty());
    TrustStatusRecord r;
    r.pairings_unreadable = true;
    r.pairings_error = 13;
    r.tls_renewed = true;
    r.tls_error = 2148073494u;
    auto notes = trust_notes(r, wall);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].first, "last_pairings_unreadable");
    EXPECT_EQ(notes[0].second, "2026-03-04T05:06:07Z | saklanamadi | DPAPI hata 13");
    EXPECT_EQ(notes[1].first, "last_tls_identity_renewed");
    EXPECT_EQ(notes[1].second, "2026-03-04T05:06:07Z | ozel anahtar hatasi 2148073494");
    r.backup_name = "pairings.dat.bad-1";
    EXPECT_EQ(trust_notes(r, wall)[0].second, "2026-03-04T05:06:07Z | pairings.dat.bad-1 | DPAPI hata 13");
}

}  // namespace
}  // namespace sorvane
