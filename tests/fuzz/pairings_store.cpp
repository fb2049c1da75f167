// The plaintext of pairings.dat on any content: what the reader keeps, the
// writer writes back, and reading that again gives the same records; escaped
// text fields always read back as they were.
#include "host/trust/pairing_store.h"
#include "tests/fuzz/fuzz_input.h"

using namespace sorvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto records = PairingStore::parse(text);
    const std::string written = PairingStore::serialize(records);
    fuzz::check(PairingStore::parse(written) == records, "pairings read back differently");
    fuzz::check(PairingStore::unescape(PairingStore::escape(text)) == text, "escaped text reads back differently");
    return 0;
}
