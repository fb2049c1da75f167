#include "host/core/purge.h"

#include <vector>

#include "host/core/gpu_preference.h"
#include "platform/files.h"

namespace sorvane {

int quit_running_host(const RunningTrayHost& host, platform::IClock& clock, uint64_t timeout_ms) {
    uint32_t process_id = 0;
    if (!host.find_window(process_id)) return 0;
    const uint64_t end = clock.now_ms() + timeout_ms;
    // Opened before the message goes, so its end cannot be missed.
    std::unique_ptr<platform::ProcessWatch> process = process_id != 0 ? host.watch(process_id) : nullptr;
    host.post_quit();
    if (process) {
        while (!process->ended()) {
            if (clock.now_ms() >= end) return 1;
            clock.sleep_ms(kQuitPollMs);
        }
        return 0;
    }
    for (;;) {
        uint32_t ignored = 0;
        if (!host.find_window(ignored)) return 0;
        if (clock.now_ms() >= end) return 1;
        clock.sleep_ms(kQuitPollMs);
    }
}

const char* quit_result_text(int result) {
    return result == 0 ? "sorvane-host --quit: tamam (calisan ornek yok ya da temiz kapandi)\n"
                       : "sorvane-host --quit: ZAMAN ASIMI (ornek hala calisiyor)\n";
}

namespace {

// The identity's certificates and key. -1 on an error, else how many certificates went.
int remove_identity(PurgePorts& p) {
    if (!p.identity_store.open_existing().ok) return 0;
    std::vector<platform::StoredCertificate> found;
    if (!p.identity_store.find_by_subject(p.identity_subject, found).ok) return -1;
    int count = 0;
    for (const platform::StoredCertificate& cert : found) {
        const bool key_gone = p.identity_store.delete_key(p.identity_key_name).ok;
        if (!p.identity_store.remove_certificate(cert).ok || !key_gone) return -1;
        ++count;
    }
    return count;
}

}  // namespace

int purge_user_data(PurgePorts& p) {
    p.print("sorvane-host --purge-user-data: " + p.data_folder + "\n");
    if (p.quit_running_host() != 0) {
        p.print("  HATA: calisan Sorvane kapatilamadi; hicbir sey silinmedi.\n");
        return 2;
    }
    bool partial = false;

    if (p.autostart_off()) {
        p.print("  Baslangic kisayolu: yok\n");
    } else {
        p.print("  UYARI: Baslangic kisayolu kaldirilamadi\n");
        partial = true;
    }

    const int certificates = remove_identity(p);
    if (certificates >= 0) {
        p.print("  host kimlik sertifikasi (CurrentUser\\My): " + std::to_string(certificates) + " silindi\n");
    } else {
        p.print("  HATA: host kimlik sertifikasi/anahtari silinemedi\n");
        partial = true;
    }

    // A missing key or value (2) is as good as a removed one.
    const uint32_t gpu = p.registry.delete_value(platform::RegistryHive::current_user, kGpuPreferencesKey, p.exe_path);
    if (gpu == 0 || gpu == 2) {
        p.print("  GPU tercih girdisi: yok\n");
    } else {
        p.print("  UYARI: GPU tercih girdisi silinemedi\n");
        partial = true;
    }

    bool folder_gone = true;
    if (!p.data_folder.empty() && platform::file_exists(p.data_folder)) {
        platform::remove_tree(p.data_folder);
        folder_gone = !platform::file_exists(p.data_folder);
    }
    if (folder_gone) {
        p.print("  " + p.data_folder + ": silindi/yok\n");
    } else {
        p.print("  HATA: " + p.data_folder + " silinemedi\n");
        partial = true;
    }

    p.print(partial ? "kismen tamamlandi\n" : "tamam\n");
    return partial ? 1 : 0;
}

}  // namespace sorvane
