// The viewer's reading of a pairing URI, as a QR code (or anyone who can show
// the camera one) may carry it.
#include "tests/fuzz/fuzz_input.h"
#include "viewer/pairing/pairing_uri.h"

using namespace sorvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view uri(reinterpret_cast<const char*>(data), size);
    viewer::PairingUri parsed;
    std::string error;
    if (viewer::parse_pairing_uri(uri, parsed, error)) {
        fuzz::check(parsed.host_id.size() == 36 && parsed.control_port != 0, "accepted without a host or port");
        fuzz::check(!parsed.token.empty() && parsed.token.size() <= 64, "accepted a token out of bounds");
        fuzz::check(viewer::verify_code(parsed.fingerprint).size() == 9, "verify code of another form");
    } else {
        fuzz::check(!error.empty(), "refused without a reason");
    }
    return 0;
}
