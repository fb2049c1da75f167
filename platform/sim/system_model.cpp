#include "platform/sim/system_model.h"

#include <unistd.h>

namespace sorvane::sim {

std::string sid_of_uid(uint32_t uid) { return "S-1-22-1-" + std::to_string(uid); }

std::string current_process_sid() { return sid_of_uid(static_cast<uint32_t>(::getuid())); }

namespace {

// Every token holds Everyone and LOCAL; logged-on accounts are Authenticated Users.
const char* const kWorldSid = "S-1-1-0";
const char* const kLocalSid = "S-1-2-0";
const char* const kAuthenticatedUsersSid = "S-1-5-11";

// An interactive user's token: Everyone, LOCAL, INTERACTIVE, Authenticated Users, Users.
Token interactive_token(std::string user) {
    return Token{std::move(user), {kWorldSid, kLocalSid, "S-1-5-4", kAuthenticatedUsersSid, "S-1-5-32-545"}, {}};
}

}  // namespace

Token service_token(const std::string& sid) {
    return Token{sid, {kWorldSid, kLocalSid, "S-1-5-6", kAuthenticatedUsersSid}, {}};
}

Token uid_token(uint32_t uid) { return interactive_token(sid_of_uid(uid)); }

Token SystemModel::user_token() const {
    Token t = interactive_token(effective_user_sid());
    if (administrator) (elevated ? t.groups : t.deny_only).push_back(kAdministratorsSid);
    return t;
}

std::string SystemModel::effective_user_sid() const {
    return user_sid == "auto" || user_sid.empty() ? current_process_sid() : user_sid;
}

std::string SystemModel::effective_interactive_user() const {
    if (interactive_user == "none") return {};
    if (interactive_user == "auto" || interactive_user.empty()) return current_process_sid();
    return interactive_user;
}

Json SystemModel::to_json() const {
    Json j = Json::object();
    j["computer_name"] = computer_name;
    j["architecture"] = architecture;
    j["oem_code_page"] = oem_code_page;
    j["language"] = language;
    j["token"]["elevated"] = elevated;
    j["token"]["user_sid"] = user_sid;
    j["token"]["administrator"] = administrator;
    j["interactive_user"] = interactive_user;
    return j;
}

bool SystemModel::from_json(const Json& j, std::string& error) {
    if (!j.is_object()) {
        error = "system: not an object";
        return false;
    }
    SystemModel d;
    computer_name = j.has("computer_name") ? j.get("computer_name").as_string() : d.computer_name;
    architecture = j.has("architecture") ? j.get("architecture").as_string() : d.architecture;
    oem_code_page = static_cast<uint32_t>(j.get("oem_code_page").as_int(d.oem_code_page));
    language = j.has("language") ? j.get("language").as_string() : d.language;
    elevated = j.get("token").get("elevated").as_bool(d.elevated);
    user_sid = j.get("token").has("user_sid") ? j.get("token").get("user_sid").as_string() : d.user_sid;
    administrator = j.get("token").get("administrator").as_bool(d.administrator);
    interactive_user = j.has("interactive_user") ? j.get("interactive_user").as_string() : d.interactive_user;
    return true;
}

}  // namespace sorvane::sim
