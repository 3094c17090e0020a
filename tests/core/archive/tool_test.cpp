// kalvo-archive run as a child process, as a user would.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "archive_test_util.h"

namespace kalvo {
namespace {

using namespace testing_util;

struct ToolRun {
    int code = -1;
    std::string out, err;
};

class ArchiveTool : public ::testing::Test {
  protected:
    ToolRun Tool(const std::string& args) {
        const std::string cmd = "'" + std::string(KALVO_BUILD_DIR) + "/demo/kalvo-archive' " +
                                args + " >'" + dir_.File("stdout") + "' 2>'" + dir_.File("stderr") +
                                "'";
        ToolRun run;
        const int status = std::system(cmd.c_str());
        run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = ReadBytes(dir_.File("stdout"));
        run.err = ReadBytes(dir_.File("stderr"));
        return run;
    }
    static std::string Q(const std::string& path) { return "'" + path + "'"; }

    TempDir dir_;
};

TEST_F(ArchiveTool, InfoSummarisesADay) {
    const ToolRun run = Tool("info " + Q(Data("reference.dat")));
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out,
              "thermometers\t2\n"
              "records\t13\n"
              "first\t07.03.2010 14:05:09\n"
              "last\t08.03.2010 00:00:01\n"
              "rom\tname\trecords\tinvalid\tmin\tmax\n"
              "6f00000123456728\tКотёл;подача\t5\t0\t0.12\t70.00\n"
              "2a0008015e3b7710\tУлица\\n\t5\t1\t-12.94\t-0.06\n"
              "100000abcdef028\tОчень длинное имя термометра в \t3\t1\t19.94\t20.00\n");
}

TEST_F(ArchiveTool, CsvWritesTheProgramsExport) {
    const std::string out = dir_.File("day7.csv");
    const ToolRun run = Tool("csv " + Q(Data("reference.dat")) + " " + Q(out));
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(ReadBytes(out), ReadBytes(Data("reference.csv")));

    const ToolRun bad = Tool("csv " + Q(dir_.File("none.dat")) + " " + Q(out));
    EXPECT_EQ(bad.code, 1);
    EXPECT_NE(bad.err.find("Ошибка чтения файла"), std::string::npos) << bad.err;
}

TEST_F(ArchiveTool, ThinPrintsTheKeptPoints) {
    SampleList day;
    const double temps[] = {20.0, 20.25, 20.5, 20.6, 21.0, 21.1};
    for (int p = 0; p < 6; ++p) {
        day.push_back(Rec(kRomA, u"a", temps[p], 1000 + 2 * p));
        day.push_back(Rec(kRomB, u"b", 0.0, 1000 + 2 * p));
    }
    WriteBytes(dir_.File("day.dat"), DayImage(2, day));
    ToolRun run = Tool("thin " + Q(dir_.File("day.dat")) + " 6f00000123456728");
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "1000 20.0000\n1004 20.5000\n1008 21.0000\n1010 21.1000\n");

    run = Tool("thin " + Q(dir_.File("day.dat")) + " 28");
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("file can not be processed"), std::string::npos) << run.err;
    EXPECT_EQ(Tool("thin " + Q(dir_.File("day.dat")) + " xyz").code, 1);
}

TEST_F(ArchiveTool, NonNumbersAndFailedReadingsAreNoValues) {
    // NaN and infinity under a valid flag count as invalid; a thinned curve breaks at a run
    // of failed readings ("-") instead of carrying their stored values.
    SampleList day;
    const double temps[] = {20.0, NAN, INFINITY, 20.1, 85.0, 21.0};
    for (int p = 0; p < 6; ++p) {
        day.push_back(Rec(kRomA, u"a", temps[p], 1000 + 2 * p, p == 4 ? 0 : 1));
        day.push_back(Rec(kRomB, u"b", -INFINITY, 1000 + 2 * p));
    }
    WriteBytes(dir_.File("day.dat"), DayImage(2, day));
    ToolRun run = Tool("info " + Q(dir_.File("day.dat")));
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.out.find("6f00000123456728\ta\t6\t3\t20.00\t21.00\n"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("2a0008015e3b7710\tb\t6\t6\t-\t-\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("nan"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("inf"), std::string::npos) << run.out;

    run = Tool("thin " + Q(dir_.File("day.dat")) + " 6f00000123456728");
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "1000 20.0000\n1002 -\n1006 20.1000\n1008 -\n1010 21.0000\n");
}

TEST_F(ArchiveTool, RefusesADayFileLargerThanAnyDay) {
    // 2 GiB, sparse: a good header and whole records of nothing.
    const std::string huge = dir_.File("day1.dat");
    WriteBytes(huge, DayImage(1, {Rec(kRomA, u"a", 1, kT0)}));
    ASSERT_EQ(truncate(huge.c_str(), off_t(32 + 96 * ((uint64_t(2) << 30) / 96))), 0);
    for (const char* command : {"info ", "thin "}) {
        const ToolRun run =
            Tool(command + Q(huge) + (std::string(command) == "thin " ? " 28" : ""));
        EXPECT_EQ(run.code, 1) << command;
        EXPECT_NE(run.err.find("too large"), std::string::npos) << run.err;
    }
}

TEST_F(ArchiveTool, LinesPrintTheValidRecordsForADatabase) {
    // lines.dat and lines.txt come from make_lines.py: escaped names, an unnamed sensor, failed
    // and damaged readings left out, "-0", a doubtful reading kept.
    ToolRun run = Tool("lines " + Q(Data("lines.dat")) + " --node 'pi 2'");
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, ReadBytes(Data("lines.txt")));

    run = Tool("lines " + Q(Data("reference.dat")));  // the node defaults to this machine's
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 11);
    EXPECT_NE(run.out.find("temperature,id=28-000001234567,name=Котёл;подача,node="),
              std::string::npos)
        << run.out;

    EXPECT_EQ(Tool("lines " + Q(dir_.File("none.dat"))).code, 1);
    EXPECT_EQ(Tool("lines").code, 1);
    EXPECT_EQ(Tool("lines " + Q(Data("lines.dat")) + " --node").code, 1);
}

TEST_F(ArchiveTool, RepairMendsATornDayAndRejectsOtherFiles) {
    const std::string day = dir_.File("day.dat");
    const std::string whole = ReadBytes(Data("reference.dat"));
    WriteBytes(day, whole + std::string(40, 'z'));
    chmod(day.c_str(), 0444);
    ToolRun run = Tool("info " + Q(day));
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("torn"), std::string::npos) << run.err;

    run = Tool("repair " + Q(day));
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.out.find("cut 40 bytes"), std::string::npos) << run.out;
    EXPECT_EQ(ReadBytes(day), whole);
    struct stat st {};
    stat(day.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0222, 0u);  // still read-only
    EXPECT_NE(Tool("repair " + Q(day)).out.find("nothing cut"), std::string::npos);

    WriteBytes(dir_.File("notes"), std::string(77, 'n'));
    EXPECT_EQ(Tool("repair " + Q(dir_.File("notes"))).code, 1);
    EXPECT_EQ(FileSize(dir_.File("notes")), 77u);
    EXPECT_EQ(Tool("frobnicate x").code, 1);
    EXPECT_EQ(Tool("info").code, 1);
}

}  // namespace
}  // namespace kalvo
