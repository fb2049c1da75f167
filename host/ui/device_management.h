// The paired devices as the panel lists them, and forgetting one: its pairing
// records go (it must pair again by QR code), its session ends, and the small
// per-device notes beside pairings.dat (kind, remembered display position) go
// with it. A summary is logged and a note is left for the problem report.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "host/core/state_files.h"
#include "host/trust/pairing_store.h"
#include "host/ui/panel_state.h"
#include "platform/clock.h"

namespace sorvane {

// The panel's "paired" list: every pairing record in store order with its
// kind; connected tells which client ids have a session.
std::vector<PanelPairedDevice> paired_devices(const PairingStore& pairings, const DeviceKindStore& kinds,
                                         const std::set<std::string>& connected);

// A client id for logs and notes: its first 8 bytes, each byte outside 33 to
// 126 shown as "?"; "-" when it is empty.
std::string masked_client_id(std::string_view client_id);

// "panel" and "tepsi" as they are; anything else is "bilinmiyor".
std::string removal_source(std::string_view source);

struct DeviceRemovalPorts {
    PairingStore& pairings;
    DeviceKindStore& kinds;
    DisplayPositionStore& positions;
    // Ends the session of a client id with the reason text; true when one was open.
    std::function<bool(const std::string& client_id, const std::string& reason)> end_session;
    platform::IClock& clock;
};

inline constexpr const char* kRemovalReason = "panel 'Kaldir': cihaz kaldiriliyor";

// Forgets a paired device (records first, so it cannot connect again, then
// its session) and logs the summary; when records went, stores the note
// "last_device_removed". True when a pairing record was removed. When
// pairings.dat could not be written the log line and the note say so (the
// device would come back after a restart), and the store's
// last_save_failed() tells the panel.
bool remove_device(DeviceRemovalPorts& ports, const std::string& client_id, std::string_view source);

// "Son cihaz kaldirma (K78): " and the note of the last removal, or "yok".
std::string removal_note_for_report();

}  // namespace sorvane
