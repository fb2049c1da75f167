#include <string>
#include <vector>

#include "viewer/app/commands.h"

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return sorvane::viewer::app::run(args, sorvane::viewer::app::Streams{});
}
