// Masking of what identifies the machine, its user and the paired devices in
// the report's texts: addresses, hardware addresses, fingerprints, tokens and
// ids, then names. The text is treated as 8-bit text that is usually UTF-8;
// nothing is cut inside a UTF-8 sequence, so valid UTF-8 stays valid.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sorvane::hostreport {

// Replacement texts.
inline constexpr const char* kMaskedComputer = "<bilgisayar>";
inline constexpr const char* kMaskedUser = "<kullanici>";
inline constexpr const char* kMaskedClient = "<istemci>";
inline constexpr const char* kMaskedDevice = "<cihaz>";
inline constexpr const char* kMaskedIpv6 = "[ag-adresi-maskeli]";
inline constexpr const char* kMaskedMac = "[mac-maskeli]";
inline constexpr const char* kMaskedId = "[kimlik-maskeli]";
inline constexpr const char* kMaskedFingerprint = "[parmak-izi-maskeli]";
inline constexpr const char* kMaskedToken = "[belirtec-maskeli]";
inline constexpr const char* kMaskedHex = "[onaltilik-maskeli]";

// Who is masked; every text is UTF-8.
struct MaskIdentities {
    // The computer's names (the system's, and the one the host uses when another).
    std::vector<std::string> computers;
    // The user's name, then further names of the user (the profile folder's).
    std::vector<std::string> users;
    // The client ids and the names of the paired devices.
    std::vector<std::string> client_ids;
    std::vector<std::string> device_names;
};

// Addresses and ids alone, in this order:
// - IPv4: four groups of 1 to 3 digits (each at most 255) joined by ".", not
//   inside a longer dotted number, become "a.b.*.*" (first two groups as
//   decimal numbers): with a port, in brackets, at a line's start or end;
// - IPv6: a run of hex digits and ":" not glued to a word before it, with at
//   least 2 colons and 2 hex digits and either "::", a hex letter and 4
//   colons, or 7 colons (a zone such as "%12" stays);
// - MAC: six pairs of hex digits joined by "-" or ":";
// - ids 8-4-4-4-12 (UUIDs, GUIDs);
// - runs of 32 or more hex digits: 64 (a fingerprint), 32 (a token or key),
//   any other length.
std::string mask_addresses(std::string_view text);

// Masks addresses and ids, then the computer name and the user's names
// (names of 2 characters or fewer are left alone), then addresses once
// more: a replaced name no longer shields an address it touched. Names
// match without regard to case (ASCII, Latin, Turkish, Greek and Cyrillic
// letters) in UTF-8, in the ANSI and OEM code pages of Western European and
// Turkish systems (1252, 1254, 437, 850, 857) and percent-encoded as in a
// URI. Client ids of paired devices are masked first (also in the scrubbed
// and cut forms the log writes), device names with the user's names (names
// of 3 characters or fewer are left alone).
std::string mask_report_text(std::string_view text, const MaskIdentities& who);

// The same for one computer and one user name.
std::string mask_report_text(std::string_view text, std::string_view computer, std::string_view user);

}  // namespace sorvane::hostreport
