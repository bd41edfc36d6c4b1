// Writes the exchanges the engine tests play into seed inputs of tavrix_fuzz, in its step
// format ("@@D<source>" LF datagram, "@@T<source> n" LF for ticks; source 1 alice, 2 bob).
// Usage: tavrix_corpus DIRECTORY

#include "core/proxy/sip_messages.h"

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: tavrix_corpus DIRECTORY\n");
        return 2;
    }
    for (const tavrix::test::Scenario& scenario : tavrix::test::Scenarios()) {
        std::string name = scenario.name;
        for (char& c : name) {
            c = c == ' ' ? '_' : c;
        }
        std::ofstream out(std::string(argv[1]) + "/scenario_" + name, std::ios::binary);
        for (const tavrix::test::Step& step : scenario.steps) {
            if (step.from == nullptr) {
                out << "@@T1 " << step.ticks << "\n";
            } else {
                out << "@@D" << (step.from == &tavrix::test::kAlice ? '1' : '2') << "\n"
                    << step.text;
            }
        }
        if (!out) {
            std::fprintf(stderr, "tavrix_corpus: cannot write %s\n", name.c_str());
            return 1;
        }
    }
    return 0;
}
