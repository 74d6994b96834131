// ostrellectl: the radio from a shell, a script and a Windows console.

#include "cli/commands.h"
#include "cli/exitcodes.h"
#include "cli/interrupt.h"
#include "cli/messages.h"
#include "cli/options.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    interrupt::Install();
    cli::Options options;
    std::string error;
    if (!cli::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "ostrellectl: %s ostrellectl --help lists the commands.\n",
                     cli::Sentence(error).c_str());
        interrupt::Leaving(Code(ExitCode::Usage));
        return Code(ExitCode::Usage);
    }
    const int code = cli::Run(options);
    interrupt::Leaving(code);
    return code;
}
