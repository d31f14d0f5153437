// orxadmin: the command-line administration console of the listener orxgui.
#include "orxadmin_cli.h"
#include "orxadmin_run.h"

#include <oozaf/throwable.h>

#include <exception>
#include <iostream>
#include <orx/version.h>
#include <unistd.h>

using namespace vornadmin;

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        SCommandLine line = gParseCommandLine(args);
        if (line.global.version) {
            std::cout << "orxadmin (Brevan Vorn Server) " ORX_VERSION "\n";
            return eExitOK;
        }
        if (line.global.help || line.command.help) {
            std::cout << gHelpText(line.command.name);
            return eExitOK;
        }
        CConsole console(line.global, std::cout, std::cerr, gPromptTerminal,
                         ::isatty(STDERR_FILENO) != 0);
        return console.run(line.command);
    } catch (CUsageException* e) {
        oozaf::CZAFThrowableGuard guard(e);
        std::cerr << "orxadmin: " << e->getMessage() << '\n';
        return eExitUsage;
    } catch (CExitException* e) {
        oozaf::CZAFThrowableGuard guard(e);
        std::cerr << "orxadmin: " << e->getMessage() << '\n';
        return e->getStatus();
    } catch (oozaf::CZAFThrowable* e) {
        oozaf::CZAFThrowableGuard guard(e);
        std::string text = e->getDetailedMessage();
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        std::cerr << "orxadmin: " << text << '\n';
        return eExitFailure;
    } catch (const std::exception& e) {
        std::cerr << "orxadmin: " << e.what() << '\n';
        return eExitFailure;
    }
}
