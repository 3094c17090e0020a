// kalvo.ini read at start by a program's connections: every problem one status line, what did
// parse in force; and a save that never rewrites a file it could not read whole.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/common/clock.h"
#include "core/config/rules_ini.h"
#include "core/connect/connections.h"
#include "core/engine/program.h"
#include "drivers/sim/sim_api.h"
#include "drivers/sim/sim_world.h"

namespace kalvo {
namespace {

namespace fs = std::filesystem;

const uint64_t kRoom = *ParseW1Id("28-00000a1b2c5f");

TEST(Connections, StartSaysEachProblemAndKeepsWhatParsed) {
    struct Case {
        const char* ini;  // nullptr: no file
        std::vector<std::string> said;
        std::optional<double> offset;  // of kRoom
        bool saves;
    } cases[] = {
        {nullptr, {}, {}, true},
        {"[mqtt]\nport = 1883 ; no host: off\n[sensor 28-00000a1b2c5f]\noffset = 0,5\n",
         {},
         0.5,
         true},
        {"[sensor 28-00000A1B2C5F]\noffset = 0.5\n[mqtt\n", {"kalvo.ini: line 3: "}, 0.5, false},
        {"[sensor 28-00000a1b2c5f]\noffset = warm\n", {"kalvo.ini: line 2: "}, {}, true},
    };
    ManualClock clock;
    sim::World world{clock};
    sim::SetActiveWorld(&world);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini ? c.ini : "no file");
        const fs::path dir =
            fs::temp_directory_path() / ("kalvo_connect_" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        const fs::path ini = dir / "kalvo.ini";
        if (c.ini) std::ofstream(ini) << c.ini;
        {
            Program program(sim::Api());
            std::vector<std::string> said;
            Connections connections(program, dir.string(),
                                    [&](const std::string& line) { said.push_back(line); });
            connections.Start(2);
            ASSERT_EQ(said.size(), c.said.size()) << (said.empty() ? "" : said[0]);
            for (size_t i = 0; i < said.size(); ++i)
                EXPECT_NE(said[i].find(c.said[i]), std::string::npos) << said[i];
            EXPECT_EQ(connections.Publisher(), nullptr);
            const Rules at_start = connections.CurrentRules();
            EXPECT_EQ(at_start.sensors.count(kRoom) ? at_start.sensors.at(kRoom).offset
                                                    : std::optional<double>(),
                      c.offset);

            // The dialog's result: saved and in force, or refused with the line and nothing
            // changed.
            Rules wanted;
            wanted.sensors[kRoom].alarm_high = 30;
            const std::string before = c.ini ? c.ini : "";
            std::string why;
            EXPECT_EQ(connections.SaveRules(wanted, &why), c.saves) << why;
            EXPECT_EQ(connections.CurrentRules(), c.saves ? wanted : at_start);
            KalvoIni reread;
            reread.Load(ini.string());
            if (c.saves) {
                EXPECT_EQ(ReadRules(reread), wanted);
            } else {
                EXPECT_NE(why.find(c.said[0]), std::string::npos) << why;
                std::ifstream in(ini);
                EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), before);
            }
        }
        fs::remove_all(dir);
    }
    sim::SetActiveWorld(nullptr);
}

}  // namespace
}  // namespace kalvo
