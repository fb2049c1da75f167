#include "common/text.h"
#include "platform/files.h"
#include "platform/pkix.h"
#include "platform/sim/ports.h"
#include "platform/win_error.h"

namespace sorvane::sim {

namespace {

using namespace platform;

constexpr uint32_t kNteBadProvider = 0x80090013;
constexpr uint32_t kHresultAccessDenied = 0x80070005;
constexpr uint32_t kHresultNotFound = 0x80070002;
constexpr uint32_t kHresultInvalidArg = 0x80070057;

bool store_name(std::string_view store, std::string& out) {
    if (iequals_ascii(store, "ROOT")) out = kStoreRoot;
    else if (iequals_ascii(store, "TrustedPublisher")) out = kStoreTrustedPublisher;
    else return false;
    return true;
}

class SimCodeSigning final : public ICodeSigning {
public:
    explicit SimCodeSigning(std::shared_ptr<Machine> m) : m_(std::move(m)) {}

    uint32_t open_provider(std::string_view provider) override {
        const uint32_t f = m_->fault("ncrypt.open_provider");
        if (f != 0) return f;
        return provider == kSoftwareKeyStorageProvider ? 0 : kNteBadProvider;
    }

    uint32_t create_persisted_key(std::string_view name, bool machine) override {
        uint32_t rc = kErrorNotReady;
        m_->update("ncrypt.create_key " + std::string(name), [&](MachineState& s) {
            rc = s.fault("ncrypt.create_key");
            if (rc != 0) return;
            if (machine && !s.system.elevated) {
                rc = kHresultAccessDenied;
                return;
            }
            if (s.keys.find(name, machine) != nullptr) {
                rc = kNteExists;
                return;
            }
            StoredKey k;
            k.name = std::string(name);
            k.machine = machine;
            s.keys.keys.push_back(std::move(k));
            rc = 0;
        });
        return rc;
    }

    uint32_t finalize_key(std::string_view name, bool machine, uint32_t bits) override {
        const uint32_t f = m_->fault("ncrypt.finalize_key");
        if (f != 0) return f;
        // The key is made outside the machine's lock: it takes a while.
        std::string pem;
        std::string error;
        if (!rsa_generate_pem(bits, pem, error)) return kEFail;
        uint32_t rc = kErrorNotReady;
        m_->update("ncrypt.finalize_key " + std::string(name), [&](MachineState& s) {
            StoredKey* k = s.keys.find(name, machine);
            if (k == nullptr) {
                rc = kNteBadKeyset;
                return;
            }
            if (k->finalized) {
                rc = kNteExists;
                return;
            }
            k->length = bits;
            k->finalized = true;
            k->exportable = false;
            k->pem = pem;
            rc = 0;
        });
        return rc;
    }

    uint32_t open_key(std::string_view name, bool machine) override {
        uint32_t rc = kErrorNotReady;
        m_->update("ncrypt.open_key", [&](MachineState& s) {
            rc = s.fault("ncrypt.open_key");
            if (rc != 0) return;
            const StoredKey* k = s.keys.find(name, machine);
            rc = k != nullptr ? 0 : kNteBadKeyset;
        });
        return rc;
    }

    uint32_t delete_key(std::string_view name, bool machine) override {
        uint32_t rc = kErrorNotReady;
        m_->update("ncrypt.delete_key " + std::string(name), [&](MachineState& s) {
            rc = s.fault("ncrypt.delete_key");
            if (rc != 0) return;
            if (machine && !s.system.elevated) {
                rc = kHresultAccessDenied;
                return;
            }
            rc = s.keys.remove(name, machine) ? 0 : kNteBadKeyset;
        });
        return rc;
    }

    uint32_t enum_keys(bool machine, std::vector<std::string>& names) override {
        uint32_t rc = kErrorNotReady;
        names.clear();
        m_->update("ncrypt.enum_keys", [&](MachineState& s) {
            rc = s.fault("ncrypt.enum_keys");
            if (rc != 0) return;
            for (const auto& k : s.keys.keys)
                if (k.machine == machine) names.push_back(k.name);
        });
        return rc;
    }

    uint32_t create_self_signed(std::string_view key_name, bool machine, const std::string& subject_cn,
                                const CivilTime& not_before, const CivilTime& not_after,
                                std::vector<uint8_t>& der) override {
        std::string pem;
        uint32_t rc = kErrorNotReady;
        m_->update("crypt.create_self_signed", [&](MachineState& s) {
            rc = s.fault("crypt.create_self_signed");
            if (rc != 0) return;
            StoredKey* k = s.keys.find(key_name, machine);
            rc = k != nullptr && k->finalized ? 0 : kNteBadKeyset;
            if (rc == 0) pem = k->pem;
        });
        if (rc != 0) return rc;
        std::string error;
        CodeSigningCertRequest req{subject_cn, not_before, not_after};
        return make_code_signing_certificate(pem, req, der, error) ? 0 : kEFail;
    }

    uint32_t sign_file(const std::string& path, std::string_view key_name, bool machine,
                       const std::vector<uint8_t>& cert_der) override {
        std::string pem;
        uint32_t rc = kErrorNotReady;
        m_->update("signer.sign", [&](MachineState& s) {
            rc = s.fault("signer.sign");
            if (rc != 0) return;
            StoredKey* k = s.keys.find(key_name, machine);
            rc = k != nullptr && k->finalized ? 0 : kNteBadKeyset;
            if (rc == 0) pem = k->pem;
        });
        if (rc != 0) return rc;
        std::string data;
        if (!read_file(path, 256u << 20, data).ok()) return kErrorFileNotFound;
        std::vector<uint8_t> sig;
        std::string error;
        if (!pkcs7_sign_detached(pem, cert_der, data, sig, error)) return kEFail;
        const auto w = write_file_atomic(signature_path(path), std::string_view(reinterpret_cast<const char*>(sig.data()), sig.size()));
        return w.ok() ? 0 : kErrorAccessDenied;
    }

    uint32_t store_add(std::string_view store, const std::vector<uint8_t>& der) override {
        std::string name;
        if (!store_name(store, name)) return kErrorFileNotFound;
        uint32_t rc = kErrorNotReady;
        m_->update("certstore.add " + name, [&](MachineState& s) {
            rc = s.fault("certstore.add");
            if (rc != 0) return;
            if (!s.system.elevated) {
                rc = kErrorAccessDenied;
                return;
            }
            rc = s.certificates.add(name, der) ? 0 : kCryptENotFound;
        });
        return rc;
    }

    uint32_t store_list(std::string_view store, std::vector<CertEntry>& out) override {
        std::string name;
        out.clear();
        if (!store_name(store, name)) return kErrorFileNotFound;
        uint32_t rc = kErrorNotReady;
        m_->update("certstore.open", [&](MachineState& s) {
            rc = s.fault("certstore.open");
            if (rc != 0) return;
            const auto it = s.certificates.stores.find(name);
            if (it == s.certificates.stores.end()) return;
            for (const auto& c : it->second) out.push_back(CertEntry{c.thumbprint, c.simple_name, c.der});
        });
        return rc;
    }

    uint32_t store_remove(std::string_view store, std::string_view thumbprint) override {
        std::string name;
        if (!store_name(store, name)) return kErrorFileNotFound;
        uint32_t rc = kErrorNotReady;
        m_->update("certstore.delete " + name + " " + std::string(thumbprint), [&](MachineState& s) {
            rc = s.fault("certstore.delete");
            if (rc != 0) return;
            if (!s.system.elevated) {
                rc = kErrorAccessDenied;
                return;
            }
            rc = s.certificates.remove(name, thumbprint) ? 0 : kCryptENotFound;
        });
        return rc;
    }

private:
    std::shared_ptr<Machine> m_;
};

class SimFirewall final : public IFirewallPolicy {
public:
    explicit SimFirewall(std::shared_ptr<Machine> m) : m_(std::move(m)) {}

    uint32_t open() override { return m_->fault_or_hang("firewall.open"); }

    uint32_t add_rule(const FirewallRuleSpec& r) override {
        uint32_t rc = kErrorNotReady;
        m_->update("firewall.add " + r.name, [&](MachineState& s) {
            rc = s.fault("firewall.add");
            if (rc != 0) return;
            if (!s.system.elevated) {
                rc = kHresultAccessDenied;
                return;
            }
            FirewallRule m;
            m.name = r.name;
            m.description = r.description;
            m.grouping = r.grouping;
            m.application = r.application;
            m.protocol = r.protocol;
            m.local_ports = r.local_ports;
            m.remote_addresses = r.remote_addresses;
            m.profiles = r.profiles;
            m.direction = r.direction;
            m.action = r.action;
            m.enabled = r.enabled;
            m.service_name = r.service_name;
            s.firewall.rules.push_back(std::move(m));
        });
        return rc;
    }

    uint32_t remove_rule(std::string_view name) override {
        uint32_t rc = kErrorNotReady;
        m_->update("firewall.remove " + std::string(name), [&](MachineState& s) {
            rc = s.fault("firewall.remove");
            if (rc != 0) return;
            if (!s.system.elevated) {
                rc = kHresultAccessDenied;
                return;
            }
            rc = s.firewall.remove_one(name) ? 0 : kHresultNotFound;
        });
        return rc;
    }

    uint32_t find_rule(std::string_view name) override {
        uint32_t rc = kErrorNotReady;
        m_->read([&](const MachineState& s) { rc = s.firewall.exists(name) ? 0 : kErrorFileNotFound; });
        return rc;
    }

    uint32_t list_rules(std::vector<FirewallRuleSpec>& out) override {
        out.clear();
        const bool ok = m_->read([&](const MachineState& s) {
            for (const auto& r : s.firewall.rules) {
                FirewallRuleSpec x;
                x.name = r.name;
                x.description = r.description;
                x.grouping = r.grouping;
                x.application = r.application;
                x.protocol = r.protocol;
                x.local_ports = r.local_ports;
                x.remote_addresses = r.remote_addresses;
                x.profiles = r.profiles;
                x.direction = r.direction;
                x.action = r.action;
                x.enabled = r.enabled;
                x.service_name = r.service_name;
                out.push_back(std::move(x));
            }
        });
        if (!ok) return kErrorNotReady;
        const uint32_t rc = m_->fault("firewall.list");
        if (rc != 0) out.clear();
        return rc;
    }

    uint32_t current_profiles(int32_t& out) override {
        out = 0;
        if (!m_->read([&](const MachineState& s) { out = s.network.current_profiles(); })) return kErrorNotReady;
        return 0;
    }

    uint32_t profile_state(int32_t profile, FirewallProfileState& out) override {
        uint32_t rc = kErrorNotReady;
        m_->read([&](const MachineState& s) {
            const FirewallProfileSwitches* p = s.firewall.profile(profile);
            if (p == nullptr) {
                rc = kHresultInvalidArg;
                return;
            }
            out.enabled = p->enabled;
            out.default_inbound_block = p->default_inbound_block;
            out.block_all_inbound = p->block_all_inbound;
            rc = 0;
        });
        if (rc == 0) rc = m_->fault("firewall.profile");
        return rc;
    }

private:
    std::shared_ptr<Machine> m_;
};

}  // namespace

std::unique_ptr<ICodeSigning> make_sim_code_signing(std::shared_ptr<Machine> machine) {
    return std::make_unique<SimCodeSigning>(std::move(machine));
}

std::unique_ptr<IFirewallPolicy> make_sim_firewall(std::shared_ptr<Machine> machine) {
    return std::make_unique<SimFirewall>(std::move(machine));
}

}  // namespace sorvane::sim
