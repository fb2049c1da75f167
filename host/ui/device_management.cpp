#include "host/ui/device_management.h"

#include <cstdio>

#include "host/core/log.h"
#include "host/core/settings.h"

namespace sorvane {

std::vector<PanelPairedDevice> paired_devices(const PairingStore& pairings, const DeviceKindStore& kinds,
                                         const std::set<std::string>& connected) {
    std::vector<PanelPairedDevice> out;
    for (const PairingRecord& r : pairings.list()) {
        PanelPairedDevice d;
        d.client_id = r.client_id;
        d.name = r.name.empty() ? r.client_id : r.name;
        d.connected = connected.count(r.client_id) != 0;
        d.last_seen_at = r.last_seen_at;
        d.kind = kinds.kind_of(r.client_id);
        out.push_back(std::move(d));
    }
    return out;
}

std::string masked_client_id(std::string_view client_id) {
    if (client_id.empty()) return "-";
    std::string out(client_id.substr(0, 8));
    for (char& c : out) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 33 || b > 126) c = '?';
    }
    return out;
}

std::string removal_source(std::string_view source) {
    if (source == "panel" || source == "tepsi") return std::string(source);
    return "bilinmiyor";
}

bool remove_device(DeviceRemovalPorts& ports, const std::string& client_id, std::string_view source_text) {
    const std::string source = removal_source(source_text);
    const std::string masked = masked_client_id(client_id);
    // The records go first: from here on the device's certificate opens no
    // connection, so it cannot come back between the end of its session and
    // the removal.
    const bool removed = ports.pairings.remove_by_client_id(client_id);
    bool saved = true;
    if (removed) {
        saved = ports.pairings.save();
        ports.kinds.forget(client_id);
        ports.positions.forget(client_id);
    }
    const bool was_connected = ports.end_session && ports.end_session(client_id, kRemovalReason);

    if (!removed) {
        log("[devices] cihaz kaldirma: client %s eslesmis listede yok (kaynak: %s)", masked.c_str(), source.c_str());
        return false;
    }
    if (saved) {
        log("[devices] cihaz kaldirildi (kaynak: %s): client %s%s; eslesme silindi, telefon yeniden QR ile eslesmeli",
            source.c_str(), masked.c_str(), was_connected ? ", bagliydi: baglanti kesildi" : ", bagli degildi");
    } else {
        log("[devices] cihaz kaldirildi (kaynak: %s): client %s%s; eslesme yalniz bu calismada silindi: pairings.dat "
            "KAYDEDILEMEDI, yeniden baslatinca cihaz geri gelebilir",
            source.c_str(), masked.c_str(), was_connected ? ", bagliydi: baglanti kesildi" : ", bagli degildi");
    }

    const platform::CivilTime t = ports.clock.local_time(ports.clock.wall_ms());
    char stamp[40];
    std::snprintf(stamp, sizeof(stamp), "%04u-%02u-%02u %02u:%02u", t.year, t.month, t.day, t.hour, t.minute);
    std::string note;
    for (const char c : std::string_view(stamp)) {
        if (c != '\n' && c != '\r' && c != '|') note.push_back(c);
    }
    note += " | client " + masked + " | kaynak: " + source + " | bagliydi: " + (was_connected ? "evet" : "hayir");
    if (!saved) note += " | pairings.dat kaydedilemedi";
    settings_set(kSettingLastDeviceRemoved, note);
    return true;
}

std::string removal_note_for_report() {
    const std::optional<std::string> note = settings_get(kSettingLastDeviceRemoved);
    return std::string("Son cihaz kaldirma (K78): ") + (note ? *note : "yok");
}

}  // namespace sorvane
