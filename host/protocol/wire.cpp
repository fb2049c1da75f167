#include "host/protocol/wire.h"

namespace sorvane::proto {

std::string_view decode_status_name(DecodeStatus status) {
    switch (status) {
        case DecodeStatus::ok:
            return "ok";
        case DecodeStatus::unknown:
            return "unknown";
        case DecodeStatus::malformed:
            return "malformed";
    }
    return "?";
}

}  // namespace sorvane::proto
