#include "platform/sim/driver_ops.h"

#include <map>

#include "common/text.h"
#include "platform/code_signing.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/pkix.h"
#include "platform/win_error.h"

namespace sorvane::sim {

namespace {

std::string file_name_of(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Checks one file's detached signature; the signer's thumbprint goes to thumb.
uint32_t check_signed(const MachineState& s, const std::string& path, std::string& thumb, std::string& signer,
                      std::string& detail) {
    std::string data;
    if (!platform::read_file(path, 256u << 20, data).ok()) {
        detail = "missing file " + file_name_of(path);
        return platform::kErrorFileNotFound;
    }
    std::string sig;
    if (!platform::read_file(platform::signature_path(path), 1u << 20, sig).ok()) {
        detail = file_name_of(path) + " is not signed";
        return platform::kTrustENoSignature;
    }
    std::vector<uint8_t> signer_der;
    std::string error;
    if (!platform::pkcs7_verify_detached(std::vector<uint8_t>(sig.begin(), sig.end()), data, signer_der, error)) {
        detail = "signature of " + file_name_of(path) + " does not verify: " + error;
        return platform::kTrustEBadDigest;
    }
    thumb = platform::certificate_thumbprint(signer_der);
    platform::CertificateFacts facts;
    platform::certificate_facts(signer_der, facts);
    signer = facts.simple_name;
    if (s.certificates.find(kStoreRoot, thumb) == nullptr ||
        s.certificates.find(kStoreTrustedPublisher, thumb) == nullptr) {
        detail = "signer of " + file_name_of(path) + " is not trusted";
        return platform::kCertEUntrustedRoot;
    }
    return 0;
}

// The members of a catalog: lines "member NAME sha256=HEX", names in lower case.
std::map<std::string, std::string> catalog_members(const std::string& text) {
    std::map<std::string, std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t name_at = line.find(' ');
        const size_t hash_at = line.rfind(" sha256=");
        if (line.compare(0, 7, "member ") != 0 || hash_at == std::string::npos || hash_at <= name_at) continue;
        out[ascii_lower(line.substr(7, hash_at - 7))] = ascii_lower(line.substr(hash_at + 8));
    }
    return out;
}

// Whether the file's SHA-256 is the one the catalog holds for its name.
bool in_catalog(const std::map<std::string, std::string>& members, const std::string& path, const std::string& data) {
    const auto it = members.find(ascii_lower(file_name_of(path)));
    if (it == members.end()) return false;
    platform::Sha256Digest digest{};
    platform::sha256(data.data(), data.size(), digest);
    return it->second == to_hex(digest.data(), digest.size());
}

}  // namespace

uint32_t add_driver_package(MachineState& s, const std::string& inf_path, AddDriverResult& out) {
    out = AddDriverResult{};
    out.original_name = ascii_lower(file_name_of(inf_path));
    if (const uint32_t f = s.fault("driverstore.add")) {
        out.detail = "fault";
        return f;
    }
    if (!s.system.elevated) {
        out.detail = "not elevated";
        return platform::kErrorAccessDenied;
    }
    std::string inf_text;
    if (!platform::read_file(inf_path, 4u << 20, inf_text).ok()) {
        out.detail = "cannot read " + file_name_of(inf_path);
        return platform::kErrorFileNotFound;
    }
    InfInfo inf;
    if (!parse_inf(inf_text, inf, out.detail)) return platform::kErrorInvalidData;
    const std::string folder = platform::parent_of(inf_path);
    if (inf.catalog.empty()) {
        out.detail = "the INF names no catalog";
        return platform::kErrorNoCatalogForOemInf;
    }
    const std::string cat_path = platform::join_path(folder, inf.catalog);
    std::string thumb;
    std::string signer;
    if (const uint32_t rc = check_signed(s, cat_path, thumb, signer, out.detail)) return rc;
    for (const auto& f : inf.files) {
        std::string t2;
        std::string s2;
        if (const uint32_t rc = check_signed(s, platform::join_path(folder, f), t2, s2, out.detail)) return rc;
    }
    // The signed catalog vouches for the INF and every file it installs by their hashes.
    std::string cat_text;
    platform::read_file(cat_path, 256u << 20, cat_text);
    const auto members = catalog_members(cat_text);
    std::vector<std::string> covered{inf_path};
    for (const auto& f : inf.files) covered.push_back(platform::join_path(folder, f));
    for (const auto& path : covered) {
        std::string data;
        if (!platform::read_file(path, 256u << 20, data).ok() || !in_catalog(members, path, data)) {
            out.detail = "the hash of " + file_name_of(path) + " is not in the catalog";
            return platform::kErrorFileHashNotInCatalog;
        }
    }
    const std::string both = inf_text + '\0' + cat_text;
    platform::Sha256Digest digest{};
    platform::sha256(both.data(), both.size(), digest);
    const std::string hash = to_hex(digest.data(), digest.size());
    for (const auto& p : s.driver_store.packages) {
        if (p.content_hash == hash && p.original_name == out.original_name) {
            out.published_name = p.published_name;
            out.existed = true;
            return 0;
        }
    }
    DriverPackage pkg;
    pkg.published_name = s.driver_store.free_published_name();
    pkg.original_name = out.original_name;
    pkg.provider = inf.provider;
    pkg.class_name = inf.class_name;
    pkg.class_guid = inf.class_guid;
    pkg.date = inf.date;
    pkg.version = inf.version;
    pkg.signer_name = signer;
    pkg.signer_thumbprint = thumb;
    pkg.description = inf.description;
    pkg.manufacturer = inf.manufacturer;
    pkg.service = inf.service;
    pkg.hardware_ids = inf.hardware_ids;
    pkg.content_hash = hash;
    s.driver_store.packages.push_back(pkg);
    out.published_name = pkg.published_name;
    return 0;
}

size_t install_on_devices(MachineState& s, const DriverPackage& pkg, std::string_view hardware_id) {
    size_t bound = 0;
    for (auto& n : s.devices.nodes) {
        if (!n.present) continue;
        bool match = false;
        for (const auto& h : n.hardware_id_list()) {
            if (!hardware_id.empty()) {
                match = match || iequals_ascii(h, hardware_id);
            } else {
                for (const auto& ph : pkg.hardware_ids) match = match || iequals_ascii(h, ph);
            }
        }
        if (!match) continue;
        n.class_name = pkg.class_name;
        n.class_guid = pkg.class_guid;
        n.description = pkg.description;
        n.manufacturer = pkg.manufacturer;
        n.service = pkg.service;
        n.driver_package = pkg.published_name;
        n.problem = 0;
        n.started = true;
        ++bound;
    }
    return bound;
}

uint32_t delete_driver_package(MachineState& s, std::string_view published_name, bool uninstall, bool force) {
    if (const uint32_t f = s.fault("driverstore.delete")) return f;
    if (!s.system.elevated) return platform::kErrorAccessDenied;
    DriverPackage* pkg = s.driver_store.find(published_name);
    if (pkg == nullptr) return platform::kErrorFileNotFound;
    bool in_use = false;
    for (auto& n : s.devices.nodes) {
        if (!iequals_ascii(n.driver_package, published_name)) continue;
        if (uninstall) {
            n.driver_package.clear();
            n.service.clear();
            n.started = false;
            n.problem = 28;  // no driver installed
        } else {
            in_use = true;
        }
    }
    if (in_use && !force) return platform::kErrorAccessDenied;
    for (auto it = s.driver_store.packages.begin(); it != s.driver_store.packages.end(); ++it) {
        if (iequals_ascii(it->published_name, published_name)) {
            s.driver_store.packages.erase(it);
            break;
        }
    }
    return 0;
}

}  // namespace sorvane::sim
