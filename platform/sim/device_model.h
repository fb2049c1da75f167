// Device nodes and the driver store of the simulated machine, and the INF
// reader they share.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/json.h"

namespace sorvane::sim {

inline constexpr const char* kDisplayClassGuid = "{4d36e968-e325-11ce-bfc1-08002be10318}";

struct DeviceNode {
    std::string instance_id;  // ROOT\DISPLAY\0000, PCI\VEN_...\...
    std::string class_name;
    std::string class_guid;
    bool has_hardware_ids = false;
    std::vector<uint8_t> hardware_ids;  // the raw REG_MULTI_SZ bytes as set, malformed ones too
    std::string description;
    std::string manufacturer;
    std::string service;
    bool present = true;  // false: phantom (known to the system, not present)
    uint32_t problem = 0;
    bool started = false;
    std::string driver_package;  // published name of the bound package
    // The process hosting the node's loaded driver (0: none) and the display
    // adapter that driver started ("%08x:%08x"; empty: none). See driver_host.h.
    uint32_t driver_host = 0;
    std::string driver_adapter;

    // The hardware id list: entries up to the first empty one or the end of the bytes.
    std::vector<std::string> hardware_id_list() const;
};

class DeviceModel {
public:
    static constexpr const char* kName = "devices";

    std::vector<DeviceNode> nodes;  // in enumeration order

    DeviceNode* find(std::string_view instance_id);
    const DeviceNode* find(std::string_view instance_id) const;
    bool remove(std::string_view instance_id);
    // The first free ROOT\<CLASS>\NNNN id.
    std::string free_root_instance_id(std::string_view class_name) const;

    Json to_json() const;
    bool from_json(const Json& j, std::string& error);
};

struct DriverPackage {
    std::string published_name;  // oemN.inf
    std::string original_name;   // as the INF file was named
    std::string provider;
    std::string class_name;
    std::string class_guid;
    std::string date;     // mm/dd/yyyy
    std::string version;  // a.b.c.d
    std::string signer_name;
    std::string signer_thumbprint;
    std::string description;
    std::string manufacturer;
    std::string service;
    std::vector<std::string> hardware_ids;
    std::string content_hash;  // SHA-256 of the INF and catalog, identifies a package
};

class DriverStoreModel {
public:
    static constexpr const char* kName = "driver_store";

    std::vector<DriverPackage> packages;  // in enumeration order

    DriverPackage* find(std::string_view published_name);
    // The first free oemN.inf.
    std::string free_published_name() const;

    Json to_json() const;
    bool from_json(const Json& j, std::string& error);
};

// What the driver store and device installer read from an INF.
struct InfInfo {
    std::string class_name;
    std::string class_guid;
    std::string provider;
    std::string date;
    std::string version;
    std::string catalog;  // CatalogFile
    std::string manufacturer;
    std::string description;                // of the first model entry
    std::vector<std::string> hardware_ids;  // of every model entry
    std::string service;
    std::vector<std::string> files;  // SourceDisksFiles
};

// Parses INF text ([Version], [Manufacturer] and its models, services,
// [SourceDisksFiles], [Strings] substitution). False with a reason when the
// [Version] section or its Class/ClassGuid is missing.
bool parse_inf(std::string_view text, InfInfo& out, std::string& error);

}  // namespace sorvane::sim
