#include "viewer/protocol/input_writer.h"

namespace sorvane::viewer {

bool InputWriter::add(proto::InputMessage message) {
    std::visit([this](auto& m) { m.session_id = session_id_; }, message);
    return proto::encode_input(message, output_);
}

proto::Bytes InputWriter::take_output() {
    proto::Bytes out;
    out.swap(output_);
    return out;
}

}  // namespace sorvane::viewer
