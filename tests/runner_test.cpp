// The run loop and learn mode against the simulated machine: port bytes and
// their virtual times, the console text byte for byte, the file after learning.
#include "eventfile.h"
#include "journal.h"
#include "runner.h"
#include "schedule.h"
#include "settings.h"
#include "sim.h"
#include "test_util.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const int escapeKey = 27;
const int monday = 0, tuesday = 1, wednesday = 2, sunday = 6;

class RunnerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetProgram();
        simReset();
        eventFileName = scratchPath("events.txt");
        remove(eventFileName.c_str());
        journalCaptureTo(&journal);
    }
    void TearDown() override
    {
        // Whatever the way out, the ring is empty and the loop behaved.
        EXPECT_EQ(allocCnt, 0);
        EXPECT_EQ(eventList, nullptr);
        EXPECT_FALSE(simStopped()) << "the run had to be ended by the safety stop";
        EXPECT_EQ(simBlockingReads(), 0) << "readKey was called with no key waiting";
        EXPECT_LE(simLongestSleep(), 334) << "more than a third of a second between two passes";
        journalOn = false;
        journalCaptureTo(nullptr);
        resetProgram();
    }

    int run(bool learn)
    {
        beginCapture();
        int status = runSchedule(learn);
        text = endCapture();
        return status;
    }

    capturedOutput text;
    // Under the service (journalOn): the records, "<priority>message" lines.
    std::string journal;
};

// What the program told systemd, watchdog pings left out.
std::string notifications(void)
{
    std::string told;
    for (const std::string &n : simNotifications())
        if (n != "WATCHDOG=1")
            told += n + "|";
    return told;
}

int countOf(const std::string &text, const std::string &piece)
{
    int count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        count++;
    return count;
}

// How much has been printed so far, for checking what a port write preceded.
long printedSoFar(void)
{
    fflush(stdout);
    return (long)lseek(STDOUT_FILENO, 0, SEEK_CUR);
}

TEST_F(RunnerTest, MissingFileEndsBeforeThePortIsTouched)
{
    EXPECT_EQ(run(false), -1);
    EXPECT_EQ(text.out, "Warning:  Cannot open event file:  '" + eventFileName + "'\n");
    EXPECT_EQ(text.err, "No such file or directory\n");
    EXPECT_TRUE(simPortWrites().empty());
    EXPECT_EQ(simSleepCalls(), 0);
}

TEST_F(RunnerTest, EmptyTimetableSwitchesOffOnceAndShowsOnlyTheClock)
{
    writeFile(eventFileName, "; nothing yet\n\n");
    simSetNowMs(simTimeMs(monday, 12, 0, 0));
    simKey(simNowMs() + 1000, escapeKey);

    EXPECT_EQ(run(false), 0);
    EXPECT_EQ(simPortLogText(), "day 0 12:00:00.000 0x00\n");
    EXPECT_EQ(text.out, "*Off*:  Mon 12:00:00\r");
    EXPECT_EQ(simSleepCalls(), 3);  // passes at 0, 0.334 and 0.667 s
}

TEST_F(RunnerTest, OneRecordIsInForceAtEveryMomentOfTheWeek)
{
    writeFile(eventFileName, "mo 08:00:00 1\n");
    const long long starts[] = {simTimeMs(wednesday, 3, 0, 0), simTimeMs(monday, 0, 0, 0),
                                simTimeMs(monday, 8, 0, 0), simTimeMs(sunday, 23, 59, 59)};
    for (long long start : starts) {
        simReset();
        simSetNowMs(start);
        simKey(start + 700, escapeKey);
        EXPECT_EQ(run(false), 0);
        ASSERT_EQ(simPortWrites().size(), 1u);
        EXPECT_EQ(simPortWrites()[0].value, 0xFF);
        EXPECT_EQ(text.out.substr(0, 48), "EVENT:  Mon 08:00:00 On\n next:  Mon 08:00:00 On\n");
        EXPECT_EQ(countOf(text.out, "*On*:   "), 1);  // written when it changes
    }
    EXPECT_EQ(text.out.substr(48), "*On*:   Sun 23:59:59\r");
}

TEST_F(RunnerTest, SwitchesWhenTheNextEntryComesIntoForceAndAnnouncesItAfterTheWrite)
{
    writeFile(eventFileName, "mo 08:00:00 1\nmo 17:00:00 0\n");
    simSetNowMs(simTimeMs(monday, 12, 0, 0));
    // Under the service Escape asks first: one press, the second ends it.
    simKey(simTimeMs(monday, 17, 0, 3), escapeKey);
    simKey(simTimeMs(monday, 17, 0, 5), escapeKey);
    std::vector<long> printedAtWrite;
    simOnPortWrite([&](const simPortWrite &) { printedAtWrite.push_back(printedSoFar()); });
    journalOn = true;  // as under the service
    portAddr = 0x378;

    EXPECT_EQ(run(false), 0);
    EXPECT_EQ(simPortLogText(), "day 0 12:00:00.000 0xFF\n"
                                "day 0 17:00:01.000 0x00\n");
    EXPECT_EQ(journal, "<6>Started: port 0x378 (the simulated port), timetable '" + eventFileName + "', 2 entries\n"
                       "<6>In force: Mon 08:00:00 On, port 0xFF\n"
                       "<6>Switched: Mon 17:00:00 Off, port 0x00\n"
                       "<5>Escape pressed: a second one within 5 s ends the switching\n"
                       "<5>Ended: Escape key\n");
    // Ready once the port holds the entry in force; the status at each change.
    EXPECT_EQ(notifications(), "READY=1\nSTATUS=In force: Mon 08:00:00 On, port 0xFF; next: Mon 17:00:00 Off|"
                               "STATUS=In force: Mon 17:00:00 Off, port 0x00; next: Mon 08:00:00 On|"
                               "STOPPING=1\nSTATUS=Ended: Escape key|");
    EXPECT_NE(text.out.find("*Off*:  Mon 17:00:02\r\n"
                            "Escape again within 5 s ends the switching; any other key goes on.\n"),
              std::string::npos);
    EXPECT_EQ(text.out.substr(0, 70), "EVENT:  Mon 08:00:00 On\n next:  Mon 17:00:00 Off\n"
                                      "*On*:   Mon 12:00:00\r");
    const std::string change = "*On*:   Mon 17:00:00\r"
                               "EVENT:  Mon 17:00:00 Off\n next:  Mon 08:00:00 On\n"
                               "*Off*:  Mon 17:00:01\r";
    size_t at = text.out.find(change);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(countOf(text.out, "EVENT:  "), 2);
    ASSERT_EQ(printedAtWrite.size(), 2u);
    EXPECT_EQ(printedAtWrite[0], 0);
    EXPECT_EQ(printedAtWrite[1], (long)(at + 21));
}

// Wherever the clock starts against the second's edge, and wherever the
// entry lies in the week, the port follows as the entry's second ends.
TEST_F(RunnerTest, SwitchesAsTheSecondAfterTheEntryBegins)
{
    const int nextMonday = 7;
    struct row {
        const char *what, *timetable;
        long long start, inForce;
        int before, after;
        int flood = 0;  // ordinary keys due as the entry comes into force
    } rows[] = {
        {"start at the second's edge", "mo 08:00:00 1\nmo 17:00:00 0\n", simTimeMs(monday, 16, 59, 59),
         simTimeMs(monday, 17, 0, 1), 0xFF, 0x00},
        {"start 1 ms in", "mo 08:00:00 1\nmo 17:00:00 0\n", simTimeMs(monday, 16, 59, 59, 1),
         simTimeMs(monday, 17, 0, 1), 0xFF, 0x00},
        {"start 150 ms in", "mo 08:00:00 1\nmo 17:00:00 0\n", simTimeMs(monday, 16, 59, 59, 150),
         simTimeMs(monday, 17, 0, 1), 0xFF, 0x00},
        {"start 999 ms in", "mo 08:00:00 1\nmo 17:00:00 0\n", simTimeMs(monday, 16, 59, 59, 999),
         simTimeMs(monday, 17, 0, 1), 0xFF, 0x00},
        {"start in the entry's own second", "mo 08:00:00 1\nmo 17:00:00 0\n", simTimeMs(monday, 17, 0, 0, 999),
         simTimeMs(monday, 17, 0, 1), 0xFF, 0x00},
        {"across midnight", "mo 12:00:00 1\nmo 23:59:59 0\n", simTimeMs(monday, 23, 59, 58, 600),
         simTimeMs(tuesday, 0, 0, 0), 0xFF, 0x00},
        {"the week's wrap", "mo 08:00:00 0\nsu 23:59:59 1\n", simTimeMs(sunday, 23, 59, 59, 300),
         simTimeMs(nextMonday, 0, 0, 0), 0x00, 0xFF},
        {"an entry without a state", "mo 08:00:00 1\nmo 17:00:00 -1\n", simTimeMs(monday, 16, 59, 59, 800),
         simTimeMs(monday, 17, 0, 1), 0xFF, 0x00},
        {"5000 keys due as it comes into force", "mo 08:00:00 1\nmo 17:00:00 0\n", simTimeMs(monday, 16, 59, 59, 800),
         simTimeMs(monday, 17, 0, 1), 0xFF, 0x00, 5000},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        simReset();
        writeFile(eventFileName, r.timetable);
        simSetNowMs(r.start);
        for (int i = 0; i < r.flood; i++)
            simKey(r.inForce, 'a');
        simKey(r.inForce + 1000, escapeKey);
        int waiting = 0;  // keys not yet taken at the last write, the Escape one of them
        simOnPortWrite([&](const simPortWrite &) { waiting = simKeysLeft(); });
        EXPECT_EQ(run(false), 0);
        const std::vector<simPortWrite> &writes = simPortWrites();
        ASSERT_EQ(writes.size(), 2u) << simPortLogText();
        EXPECT_EQ(writes[0].value, r.before);
        EXPECT_EQ(writes[1].value, r.after);
        EXPECT_EQ(writes[1].atMs, r.inForce) << simPortLogText();
        // Taking keys costs no virtual time: a switch put off for the flood
        // would still fall on the second, but after every key was taken.
        EXPECT_TRUE(r.flood == 0 || waiting > 1) << "the switch waited for all the keys due with it";
    }

    // The clock set forward past the entry: the pass right after the step.
    simReset();
    writeFile(eventFileName, "mo 08:00:00 1\nmo 17:00:00 0\n");
    simSetNowMs(simTimeMs(monday, 12, 0, 0));
    simAt(simTimeMs(monday, 12, 0, 0, 400), [] { simSetNowMs(simTimeMs(monday, 17, 30, 0, 400)); });
    simKey(simTimeMs(monday, 17, 30, 1), escapeKey);
    EXPECT_EQ(run(false), 0);
    EXPECT_EQ(simPortLogText(), "day 0 12:00:00.000 0xFF\n"
                                "day 0 17:30:00.400 0x00\n");

    // Nothing to switch: only the passes on the thirds of the second.
    simReset();
    writeFile(eventFileName, "");
    simSetNowMs(simTimeMs(monday, 12, 0, 0, 100));
    simKey(simTimeMs(monday, 12, 0, 1, 100), escapeKey);
    EXPECT_EQ(run(false), 0);
    EXPECT_EQ(simPortWrites().size(), 1u);
    EXPECT_EQ(simSleepCalls(), 4);  // from 0.1 to 0.334, 0.667, 1.0, and 1.1 when the key came
}

// Under the service a stray Escape does not end the switching: the first
// asks, only a second, separate press within 5 s ends it.
TEST_F(RunnerTest, UnderTheServiceOnlyASecondEscapeEnds)
{
    struct row {
        const char *what;
        std::vector<std::pair<int, int>> keys;  // ms after the start, code
        long long endsAtMs;                     // -1: the safety stop
        int asked, cancelled, held;
        long long stallAtMs = 0, stallMs = 0;   // the loop held up meanwhile
    } rows[] = {
        {"a second press ends", {{500, escapeKey}, {2000, escapeKey}}, 2000, 1, 0, 0},
        {"a quick second tap ends once no repeat follows it", {{500, escapeKey}, {800, escapeKey}}, 950, 1, 0, 0},
        {"a held Escape is one press", {{500, escapeKey}, {800, escapeKey}, {830, escapeKey}, {2000, escapeKey}}, 2000, 1, 0, 1},
        {"held from the start, then pressed again",
         {{500, escapeKey}, {750, escapeKey}, {842, escapeKey}, {934, escapeKey}, {2500, escapeKey}}, 2500, 1, 0, 1},
        {"two presses a second apart, taken in one pass after a stall", {{500, escapeKey}, {1500, escapeKey}}, 2500, 1, 0, 0,
         400, 2000},
        {"another key goes on", {{500, escapeKey}, {1500, 'x'}, {2500, escapeKey}, {4000, escapeKey}}, 4000, 2, 1, 0},
        {"time runs out", {{500, escapeKey}, {6000, escapeKey}, {7000, escapeKey}}, 7000, 2, 1, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        simReset();
        journal.clear();
        journalOn = true;
        writeFile(eventFileName, "mo 08:00:00 1\n");
        simSetNowMs(simTimeMs(monday, 12, 0, 0));
        for (const auto &key : r.keys)
            simKey(simNowMs() + key.first, key.second);
        long long start = simNowMs();
        if (r.stallMs > 0)
            simAt(start + r.stallAtMs, [&r] { simSetNowMs(simNowMs() + r.stallMs); });
        EXPECT_EQ(run(false), 0);
        EXPECT_EQ(simNowMs() - start, r.endsAtMs);
        EXPECT_EQ(countOf(text.out, "Escape again within 5 s ends the switching; any other key goes on.\n"), r.asked);
        EXPECT_EQ(countOf(text.out, "Switching goes on.\n"), r.cancelled);
        EXPECT_EQ(countOf(text.out, "Escape is held down, which counts as one press"), r.held);
        EXPECT_EQ(countOf(text.out, "Escape pressed again: the switching ends.\n"), 1);
        EXPECT_EQ(countOf(journal, "<5>Ended: Escape key\n"), 1);
        EXPECT_EQ(simPortWrites().size(), 1u);
    }
}

// Under the service each switching is recorded; one applied more than a
// second after its entry came into force (the program was stopped) says so,
// and a write the port refuses is recorded as failed and tried again at
// each pass, the console saying so once.
TEST_F(RunnerTest, LateAndFailedSwitchingsSaySo)
{
    writeFile(eventFileName, "mo 08:00:00 1\nmo 12:00:02 0\nmo 12:00:10 1\n");
    simSetNowMs(simTimeMs(monday, 12, 0, 0));
    // Stopped from 12:00:01.5 to 12:00:06.7: the pass after switches late.
    simAt(simTimeMs(monday, 12, 0, 1, 500), [] { simSetNowMs(simTimeMs(monday, 12, 0, 6, 700)); });
    simAt(simTimeMs(monday, 12, 0, 10, 500), [] { simFailPortWrites(4); });
    simKey(simTimeMs(monday, 12, 0, 11, 200), escapeKey);
    simKey(simTimeMs(monday, 12, 0, 12, 500), escapeKey);
    journalOn = true;
    portAddr = 0x378;

    EXPECT_EQ(run(false), 0);
    // The first try at 12:00:11 and the retries of the next three passes fail.
    EXPECT_EQ(simPortLogText(), "day 0 12:00:00.000 0xFF\n"
                                "day 0 12:00:06.700 0x00\n"
                                "day 0 12:00:12.334 0xFF\n");
    EXPECT_EQ(simFailedPortWrites(), 4);
    EXPECT_NE(journal.find("<4>Switched: Mon 12:00:02 Off, port 0x00, late by 3.7 s\n"), std::string::npos) << journal;
    EXPECT_NE(journal.find("<3>ERROR:  Cannot write port:  0x378\n"
                           "<3>Input/output error\n"
                           "<3>Not switched: Mon 12:00:10 On, port 0xFF: the write failed (Input/output error)\n"
                           "<5>Escape pressed: a second one within 5 s ends the switching\n"
                           "<4>Switched: Mon 12:00:10 On, port 0xFF, late by 1.3 s\n"),
              std::string::npos)
        << journal;
    EXPECT_EQ(countOf(text.out, "ERROR:  Cannot write port:  0x378\n"), 1);
    EXPECT_EQ(countOf(notifications(), "STATUS=Port write failing: In force: Mon 12:00:10 On, port 0xFF"), 1);
}

// A relay board unplugged forgets its relays: while it is away the
// timetable goes on (a change meanwhile fails), and the pass after it is
// back puts the state in force on it, recorded.
TEST_F(RunnerTest, AnOutputBackFromAwayGetsTheStateInForceAtOnce)
{
    writeFile(eventFileName, "mo 08:00:00 1\nmo 12:00:02 0\n");
    simSetNowMs(simTimeMs(monday, 12, 0, 0));
    simAt(simTimeMs(monday, 12, 0, 1, 100), [] { simOutputAway(true); });
    simAt(simTimeMs(monday, 12, 0, 4, 500), [] { simOutputAway(false); });
    simKey(simTimeMs(monday, 12, 0, 5), escapeKey);
    simKey(simTimeMs(monday, 12, 0, 6, 500), escapeKey);
    journalOn = true;

    EXPECT_EQ(run(false), 0);
    EXPECT_EQ(simPortLogText(), "day 0 12:00:00.000 0xFF\n"
                                "day 0 12:00:04.667 0x00\n");
    EXPECT_NE(journal.find("<3>Not switched: Mon 12:00:02 Off, port 0x00: the write failed (No such device)\n"
                           "<4>Switched: Mon 12:00:02 Off, port 0x00, late by 1.7 s\n"),
              std::string::npos)
        << journal;
    // The output said it went away; the change meanwhile says it was not
    // made, and the clock line shows what the port still holds.
    EXPECT_EQ(countOf(text.out, "ERROR:  Cannot write port:  0x378\n"), 1);
    EXPECT_NE(text.out.find("*On*:   Mon 12:00:03  (Off pending: port write failing)\r"), std::string::npos) << text.out;
}

TEST_F(RunnerTest, EscapeEndsWithStatusZeroAndLeavesThePortAsItWas)
{
    writeFile(eventFileName, "mo 08:00:00 1\nmo 17:00:00 0\n");
    simSetNowMs(simTimeMs(tuesday, 9, 0, 0));
    simKey(simNowMs() + 400, escapeKey);
    simKey(simNowMs() + 400, 'a');

    EXPECT_EQ(run(false), 0);
    EXPECT_EQ(simPortLogText(), "day 1 09:00:00.000 0x00\n");
    EXPECT_EQ(text.out, "EVENT:  Mon 17:00:00 Off\n next:  Mon 08:00:00 On\n"
                            "*Off*:  Tue 09:00:00\r");
    EXPECT_EQ(simKeysLeft(), 1) << "nothing is read after Escape";
}

TEST_F(RunnerTest, OrdinaryKeysWithLearnOffAreAllTakenInOnePassAndChangeNothing)
{
    const std::string timetable = "mo 08:00:00 1\n";
    writeFile(eventFileName, timetable);
    simSetNowMs(simTimeMs(monday, 9, 0, 0));
    const long long typed = simNowMs() + 500;
    simKey(typed, 'a');
    simKey2(typed, 224, 72);  // an arrow key: two ordinary keys
    simKey(typed, 13);
    simKey(typed, escapeKey);

    EXPECT_EQ(run(false), 0);
    EXPECT_EQ(simPortWrites().size(), 1u);
    // Passes at 0 and 250 ms; the four keys are taken as they arrive.
    EXPECT_EQ(text.out, "EVENT:  Mon 08:00:00 On\n next:  Mon 08:00:00 On\n"
                            "*On*:   Mon 09:00:00\r");
    EXPECT_EQ(readFile(eventFileName), timetable);
    EXPECT_EQ(simKeysLeft(), 0);
}

TEST_F(RunnerTest, FunctionKeyRereadsTheEditedFileAndDropsKeysTypedAhead)
{
    writeFile(eventFileName, "mo 08:00:00 1\n");
    simSetNowMs(simTimeMs(monday, 12, 0, 0));
    const long long pressed = simNowMs() + 1000;
    simAt(pressed, [] { writeFile(eventFileName, "mo 08:00:00 1\nmo 11:00:00 0\n"); });
    simKey2(pressed, 0, 63);  // F5
    simKey(pressed, 'x');
    simKey(pressed, escapeKey);
    simKey(pressed + 1000, escapeKey);

    EXPECT_EQ(run(false), 0);
    EXPECT_EQ(simPortLogText(), "day 0 12:00:00.000 0xFF\n"
                                "day 0 12:00:01.000 0x00\n");
    EXPECT_EQ(text.out, "EVENT:  Mon 08:00:00 On\n next:  Mon 08:00:00 On\n"
                            "*On*:   Mon 12:00:00\r"
                            "\n\n*** Re-read Event file ***\n\n"
                            "EVENT:  Mon 11:00:00 Off\n next:  Mon 08:00:00 On\n"
                            "*Off*:  Mon 12:00:01\r");
}

// Interactively a refused re-read ends the program; under the service it
// leaves the timetable in force switching, and the next F5 tries again.
TEST_F(RunnerTest, RereadThatFindsABadDayEndsWithTheRefusedCountExceptUnderTheService)
{
    writeFile(eventFileName, "mo 08:00:00 1\n");
    simSetNowMs(simTimeMs(monday, 12, 0, 0));
    const long long pressed = simNowMs() + 300;
    simAt(pressed, [] { writeFile(eventFileName, "mo 08:00:00 1\nxx 09:00:00 0\n"); });
    simKey2(pressed, 0, 59);  // F1

    EXPECT_EQ(run(false), 1);
    EXPECT_EQ(simPortWrites().size(), 1u);
    EXPECT_EQ(text.out, "EVENT:  Mon 08:00:00 On\n next:  Mon 08:00:00 On\n"
                            "*On*:   Mon 12:00:00\r"
                            "\n\n*** Re-read Event file ***\n\n"
                            "ERROR:  Bad day:  'xx'\n");

    simReset();
    journalOn = true;
    writeFile(eventFileName, "mo 08:00:00 1\nmo 12:00:02 0\n");
    simSetNowMs(simTimeMs(monday, 12, 0, 0));
    simAt(pressed, [] { writeFile(eventFileName, "mo 08:00:00 1\nmo 12:00:02 0\nxx 09:00:00 0\n"); });
    simKey2(pressed, 0, 59);
    simAt(simTimeMs(monday, 12, 0, 4), [] { writeFile(eventFileName, "mo 08:00:00 1\nmo 12:00:02 0\nmo 12:00:04 1\n"); });
    simKey2(simTimeMs(monday, 12, 0, 4, 500), 0, 63);
    simKey(simTimeMs(monday, 12, 0, 6), escapeKey);
    simKey(simTimeMs(monday, 12, 0, 7), escapeKey);

    EXPECT_EQ(run(false), 0);
    EXPECT_EQ(simPortLogText(), "day 0 12:00:00.000 0xFF\n"
                                "day 0 12:00:00.300 0xFF\n"
                                "day 0 12:00:03.000 0x00\n"
                                "day 0 12:00:04.500 0x00\n"
                                "day 0 12:00:05.000 0xFF\n");
    const std::string refused = "ERROR:  Bad day:  'xx'\n"
                                "ERROR:  Re-read refused, the timetable in force stays:  '" + eventFileName + "'\n";
    EXPECT_NE(text.out.find("\n\n*** Re-read Event file ***\n\n" + refused +
                            "EVENT:  Mon 08:00:00 On\n next:  Mon 12:00:02 Off\n"),
              std::string::npos)
        << text.out;
    EXPECT_NE(journal.find("<6>Re-read: function key\n"
                           "<3>ERROR:  Bad day:  'xx'\n"
                           "<3>ERROR:  Re-read refused, the timetable in force stays:  '" + eventFileName + "'\n"
                           "<6>In force: Mon 08:00:00 On, port 0xFF\n"
                           "<6>Switched: Mon 12:00:02 Off, port 0x00\n"),
              std::string::npos)
        << journal;
}

TEST_F(RunnerTest, RereadOfADeletedFileEndsWithMinusOne)
{
    writeFile(eventFileName, "mo 08:00:00 1\n");
    simSetNowMs(simTimeMs(monday, 12, 0, 0));
    const long long pressed = simNowMs() + 300;
    simAt(pressed, [] { remove(eventFileName.c_str()); });
    simKey2(pressed, 0, 63);

    EXPECT_EQ(run(false), -1);
    EXPECT_EQ(simPortWrites().size(), 1u);
    const std::string ending = "*** Re-read Event file ***\n\n"
                               "Warning:  Cannot open event file:  '" + eventFileName + "'\n";
    EXPECT_EQ(text.out.substr(text.out.size() - ending.size()), ending);
    EXPECT_EQ(text.err, "No such file or directory\n");
}

// Dated days on the simulated clock (Monday 2024-01-01 is day 0): each
// change on its second, days held through midnight, a date run as another
// day, one-offs, the leap day and the year end, days of 23 and 25 hours
// beginning at local midnight, and a new time zone re-finding the state.
TEST_F(RunnerTest, DatedDaysSwitchOnTheirSecond)
{
    const long long day = 24 * 3600 * 1000LL, hour = 3600 * 1000LL;
    const struct {
        const char *what, *zone, *timetable;
        long long fromMs, toMs;
        const char *writes, *shown;
        long long newZoneAtMs = 0;
    } rows[] = {
        {"a date run as Sunday", nullptr,
         "mo-fr 08:00 1\nmo-fr 17:00 0\nsu 10:00 1\nsu 12:00 0\n2024-01-03 as su\n", day + 18 * hour, 3 * day + 9 * hour,
         "day 1 18:00:00.000 0x00\nday 2 10:00:01.000 0xFF\nday 2 12:00:01.000 0x00\nday 3 08:00:01.000 0xFF\n",
         "EVENT:  Wed 2024-01-03 10:00:00 On (runs as Sun)\n next:  Wed 2024-01-03 12:00:00 Off (runs as Sun)\n"},
        {"a held range, its value on through the night after it", nullptr,
         "mo-fr 08:00 1\nmo-fr 17:00 0\n2024-01-02..2024-01-03 1\n", 16 * hour, 3 * day + 18 * hour,
         "day 0 16:00:00.000 0xFF\nday 0 17:00:01.000 0x00\nday 1 00:00:01.000 0xFF\nday 2 00:00:01.000 0xFF\n"
         "day 3 08:00:01.000 0xFF\nday 3 17:00:01.000 0x00\n",
         "EVENT:  Wed 2024-01-03 00:00:00 On (held)\n next:  Thu 2024-01-04 08:00:00 On\n"},
        {"one-offs beside a held value and in place of a weekly entry", nullptr,
         "mo-fr 08:00 1\nmo-fr 17:00 0\n2024-01-02 0\n2024-01-02 10:00 1\n2024-01-03 08:00 0\n", 16 * hour,
         2 * day + 18 * hour,
         "day 0 16:00:00.000 0xFF\nday 0 17:00:01.000 0x00\nday 1 00:00:01.000 0x00\nday 1 10:00:01.000 0xFF\n"
         "day 2 08:00:01.000 0x00\nday 2 17:00:01.000 0x00\n",
         "EVENT:  Tue 2024-01-02 10:00:00 On (one-off)\n"},
        {"the leap day", nullptr, "2024-02-29 1\n2024-03-01 0\n", 58 * day + 12 * hour, 61 * day,
         "day 58 12:00:00.000 0x00\nday 59 00:00:01.000 0xFF\nday 60 00:00:01.000 0x00\n", ""},
        {"the year end, held days back", nullptr, "2024-03-01 0\n2024-12-31..2025-01-01 1\n2025-01-02 0\n",
         364 * day + 12 * hour, 368 * day,
         "day 364 12:00:00.000 0x00\nday 365 00:00:01.000 0xFF\nday 366 00:00:01.000 0xFF\nday 367 00:00:01.000 0x00\n",
         "EVENT:  Wed 2025-01-01 00:00:00 On (held)\n"},
        {"a day of 23 hours", "Europe/Berlin", "2024-03-31 1\n2024-04-01 0\n", 89 * day + 12 * hour, 91 * day,
         "day 89 12:00:00.000 0x00\nday 89 23:00:01.000 0xFF\nday 90 22:00:01.000 0x00\n", ""},
        {"a day of 25 hours", "Europe/Berlin", "2024-10-27 1\n2024-10-28 0\n", 299 * day, 301 * day,
         "day 299 00:00:00.000 0x00\nday 299 22:00:01.000 0xFF\nday 300 23:00:01.000 0x00\n", ""},
        {"a new time zone", nullptr, "mo 10:00 1\nmo 12:00 0\n", 10 * hour + 30 * 60000, 16 * hour,
         "day 0 10:30:00.000 0xFF\nday 0 11:00:00.000 0x00\nday 0 13:00:01.000 0xFF\nday 0 15:00:01.000 0x00\n", "",
         11 * hour},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        resetProgram();
        eventFileName = scratchPath("events.txt");
        simReset();
        simZone(r.zone);
        writeFile(eventFileName, r.timetable);
        simSetNowMs(r.fromMs);
        simStopAt(r.toMs + day);
        simKey(r.toMs, escapeKey);
        if (r.newZoneAtMs != 0)
            simAt(r.newZoneAtMs, [] { simZone("Etc/GMT+3"); });
        EXPECT_EQ(run(false), 0);
        EXPECT_EQ(simPortLogText(), r.writes);
        EXPECT_NE(text.out.find(r.shown), std::string::npos) << text.out.substr(0, 2000);
    }
}

// Lines switched on their own: each line follows the last entry that
// drives it, every change on its second: three sections over a morning,
// entries before any section beside overlapping sections and a -1, a wrap
// over Sunday, and a board with fewer relays than the sections name.
TEST_F(RunnerTest, SectionsSwitchEachLineOnItsSecond)
{
    const long long day = 24 * 3600 * 1000LL, hour = 3600 * 1000LL;
    const struct {
        const char *what, *timetable;
        long long fromMs, toMs;
        const char *writes, *shown;
        int lines = 8;
    } rows[] = {
        {"three sections over a morning",
         "[1 porch]\nmo 06:00 1\nmo 08:00 0\n[2 pump]\nmo 06:00:05 1\nmo 07:00 0\n[3 bell]\nmo 07:55 1\nmo 07:55:05 0\n",
         6 * hour - 2000, 8 * hour + 3000,
         "day 0 05:59:58.000 0x00\nday 0 06:00:01.000 0x01\nday 0 06:00:06.000 0x03\nday 0 07:00:01.000 0x01\n"
         "day 0 07:55:01.000 0x05\nday 0 07:55:06.000 0x01\nday 0 08:00:01.000 0x00\n",
         "EVENT:  Mon 06:00:05 pump On, port 0x03\n next:  Mon 07:00:00 pump Off, port 0x01\n"},
        {"entries before any section, overlapping sections, a -1",
         "mo 06:00 1\n[1,2 lights]\nmo 07:00 0\n[2]\nmo 08:00 1\n[3]\nmo 09:00 -1\n", 5 * hour, 9 * hour + 2000,
         "day 0 05:00:00.000 0xFA\nday 0 06:00:01.000 0xFF\nday 0 07:00:01.000 0xFC\nday 0 08:00:01.000 0xFE\n"
         "day 0 09:00:01.000 0xFA\n",
         "EVENT:  Mon 06:00:00 all On, port 0xFF\n"},
        {"a wrap over Sunday", "[4 heat]\nsu 22:00 1\nmo 06:00 0\n[5]\nmo 00:00 1\n", 6 * day + 21 * hour,
         7 * day + 6 * hour + 2000,
         "day 6 21:00:00.000 0x10\nday 6 22:00:01.000 0x18\nday 7 00:00:01.000 0x18\nday 7 06:00:01.000 0x10\n", ""},
        {"a board of four relays", "[1 a]\nmo 06:00 1\nmo 06:00:10 0\n[6 heater]\nmo 05:00 1\n", 6 * hour - 1000,
         6 * hour + 2000,
         "day 0 05:59:59.000 0x20\nday 0 06:00:01.000 0x21\n",
         "Warning:  The 0x378 has 4 relays; lines never switched:  '6 heater'\n", 4},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        resetProgram();
        eventFileName = scratchPath("events.txt");
        simReset();
        simOutputLines(r.lines);
        writeFile(eventFileName, r.timetable);
        simSetNowMs(r.fromMs);
        simKey(r.toMs, escapeKey);
        EXPECT_EQ(run(false), 0);
        EXPECT_EQ(simPortLogText(), r.writes);
        EXPECT_NE(text.out.find(r.shown), std::string::npos) << text.out.substr(0, 1500);
    }
}

// With sections a digit key learns for its line, the opposite of its
// state, under a section line for it; another key for every line (the
// lines no other entry drives are on from that entry's time a week before).
TEST_F(RunnerTest, LearningWithSectionsLearnsForTheLineOfTheDigit)
{
    writeFile(eventFileName, "[1 porch]\nmo 06:00 1\n[2 pump]\nmo 07:00 1\n");
    simSetNowMs(simTimeMs(monday, 8, 0, 0));
    simKey(simNowMs(), '2');
    simKey(simNowMs() + 2000, '1');
    simKey(simNowMs() + 4000, 'x');
    simKey(simNowMs() + 6000, escapeKey);
    EXPECT_EQ(run(true), 0);
    EXPECT_EQ(readFile(eventFileName), "[1 porch]\nmo 06:00 1\n[2 pump]\nmo 07:00 1\n"
                                       "Mon 08:00:00 0 ;; *Learned event*\r\n[1 porch]\r\n"
                                       "Mon 08:00:02 0 ;; *Learned event*\r\n[1-8]\r\n"
                                       "Mon 08:00:04 1 ;; *Learned event*\r\n");
    EXPECT_EQ(simPortLogText(), "day 0 08:00:00.000 0x03\nday 0 08:00:00.000 0x03\nday 0 08:00:01.000 0x01\n"
                                "day 0 08:00:02.000 0x01\nday 0 08:00:03.000 0x00\nday 0 08:00:04.000 0xFC\n"
                                "day 0 08:00:05.000 0xFF\n");
}

// A school year on the simulated clock with dated days and a holiday
// calendar: every change of 2024 on its second, against the year worked out
// here afresh, date by date.
// Between changes the clock jumps ahead to two seconds before the next, a
// clock step the runner answers by finding the entry in force again, which
// must change nothing.
TEST_F(RunnerTest, AYearOfDatedDaysSwitchesEveryChangeOnItsSecond)
{
    const char *timetable = "mo-fr 07:55 1\nmo-fr 08:00 0\nmo-fr 12:00 1\nmo-fr 12:05 0\nsa 09:00 1\nsa 09:30 0\n"
                            "2024-02-12..2024-02-16 0\n2024-02-29 10:00 1\n2024-05-09 as sa\n"
                            "2024-07-01..2024-08-31 -1\n2024-07-15 08:00 1\n2024-12-23..2025-01-03 0\n"
                            "holidays year.ics 0\n";
    // A break, a yearly holiday from long ago, and a week less one day.
    writeFile(scratchPath("year.ics"), "BEGIN:VCALENDAR\n"
                                       "BEGIN:VEVENT\nDTSTART;VALUE=DATE:20240325\nDTEND;VALUE=DATE:20240406\nEND:VEVENT\n"
                                       "BEGIN:VEVENT\nDTSTART;VALUE=DATE:20200501\nRRULE:FREQ=YEARLY\nEND:VEVENT\n"
                                       "BEGIN:VEVENT\nDTSTART;VALUE=DATE:20241028\nRRULE:FREQ=DAILY;COUNT=5\n"
                                       "EXDATE;VALUE=DATE:20241030\nEND:VEVENT\nEND:VCALENDAR\n");
    // The same timetable as data: each date's entries, seconds of the day and
    // port values, by the rule a date follows.
    struct dayEntry { int second, value; };
    const std::vector<dayEntry> weekday = {{7 * 3600 + 55 * 60, 0xFF}, {8 * 3600, 0}, {12 * 3600, 0xFF}, {12 * 3600 + 300, 0}};
    const std::vector<dayEntry> saturday = {{9 * 3600, 0xFF}, {9 * 3600 + 1800, 0}};
    auto entriesOn = [&](int d) {
        std::vector<dayEntry> entries = d % 7 < 5 ? weekday : d % 7 == 5 ? saturday : std::vector<dayEntry>();
        if ((d >= 42 && d <= 46) || (d >= 357 && d <= 368) || (d >= 84 && d <= 95) || d == 121 ||
            (d >= 301 && d <= 305 && d != 303))
            entries = {{0, 0}};
        else if (d >= 182 && d <= 243)
            entries = {{0, 0}};  // -1: no state, the lines off
        else if (d == 129)
            entries = saturday;
        if (d == 59)
            entries.insert(entries.begin() + 2, {10 * 3600, 0xFF});
        if (d == 196)
            entries = {{0, 0}, {8 * 3600, 0xFF}};
        return entries;
    };
    std::string want = "day 0 00:00:00.000 0x00\n";
    std::vector<long long> changes;
    for (int d = 0; d < 369; d++)
        for (const dayEntry &e : entriesOn(d)) {
            long long at = (d * 86400LL + e.second + 1) * 1000;
            char line[48];
            snprintf(line, sizeof line, "day %d %02d:%02d:%02d.000 0x%02X\n", d, (e.second + 1) / 3600,
                     (e.second + 1) / 60 % 60, (e.second + 1) % 60, e.value);
            want += line;
            changes.push_back(at);
        }
    writeFile(eventFileName, timetable);
    for (size_t i = 0; i + 1 < changes.size(); i++)
        if (changes[i + 1] - changes[i] > 5000)
            simAt(changes[i] + 2000, [i, &changes] { simSetNowMs(changes[i + 1] - 2000); });
    simStopAt(370LL * 86400 * 1000);
    simKey(changes.back() + 5000, escapeKey);
    EXPECT_EQ(run(false), 0);
    EXPECT_EQ(simPortLogText(), want);
}

// A record without a state that comes into force switches off: it does not
// drive every data line high.
TEST_F(RunnerTest, EntryWithoutStateSwitchesOffAtAChangeAndAtASynchronisation)
{
    writeFile(eventFileName, "mo 08:00:00 1\nmo 12:00:00 -1\n");
    simSetNowMs(simTimeMs(monday, 11, 59, 59));
    simKey(simTimeMs(monday, 12, 0, 2), 'a');  // learned as on: the output is off
    simKey(simTimeMs(monday, 12, 0, 3, 500), escapeKey);

    EXPECT_EQ(run(true), 0);
    EXPECT_EQ(simPortLogText(), "day 0 11:59:59.000 0xFF\n"
                                "day 0 12:00:01.000 0x00\n"
                                "day 0 12:00:02.000 0x00\n"
                                "day 0 12:00:03.000 0xFF\n");
    EXPECT_NE(text.out.find("*On*:   Mon 12:00:00\r"
                            "EVENT:  Mon 12:00:00\n next:  Mon 08:00:00 On\n"
                            "*Off*:  Mon 12:00:01\r"),
              std::string::npos);
    EXPECT_EQ(readFile(eventFileName),
              "mo 08:00:00 1\nmo 12:00:00 -1\nMon 12:00:02 1 ;; *Learned event*\r\n");

    // Started while it is in force: off, and nothing announced.
    simReset();
    writeFile(eventFileName, "mo 08:00:00 1\nmo 12:00:00 -1\n");
    simSetNowMs(simTimeMs(monday, 13, 0, 0));
    simKey(simNowMs() + 400, escapeKey);
    EXPECT_EQ(run(false), 0);
    EXPECT_EQ(simPortLogText(), "day 0 13:00:00.000 0x00\n");
    EXPECT_EQ(text.out, "*Off*:  Mon 13:00:00\r");
}

// On a held date a weekly line would not run today: the key learns a
// one-off of that date, and says so.
TEST_F(RunnerTest, LearningOnAHeldDateLearnsAOneOffOfThatDate)
{
    writeFile(eventFileName, "2024-01-02 0\n");
    simSetNowMs(simTimeMs(tuesday, 7, 30, 0));
    simKey(simNowMs() + 5000, 'a');
    simKey(simNowMs() + 8000, escapeKey);
    EXPECT_EQ(run(true), 0);
    EXPECT_EQ(readFile(eventFileName), "2024-01-02 0\n2024-01-02 07:30:05 1 ;; *Learned event*\r\n");
    EXPECT_EQ(simPortLogText(), "day 1 07:30:00.000 0x00\nday 1 07:30:05.000 0x00\nday 1 07:30:06.000 0xFF\n");
    EXPECT_EQ(countOf(text.out, "Learned for 2024-01-02 only, a dated day:  Tue 2024-01-02 07:30:05 On (one-off)\n"), 1);
}

TEST_F(RunnerTest, LearningOnANewFileSwitchesOnAtOnceThenOffASecondAfterTheLearnedTime)
{
    writeFile(eventFileName, "");
    simSetNowMs(simTimeMs(tuesday, 7, 30, 0));
    const long long start = simNowMs();
    // Each key is learned for the second in which it came.
    simKey(start + 5000, 'a');
    // The reload falls in the learned second, so the entry before stays in
    // force until that second ends.
    simKey2(start + 12100, 224, 72);
    simKey(start + 14000, escapeKey);

    EXPECT_EQ(run(true), 0);
    EXPECT_EQ(readFile(eventFileName), "Tue 07:30:05 1 ;; *Learned event*\r\n"
                                       "Tue 07:30:12 0 ;; *Learned event*\r\n");
    EXPECT_EQ(simPortLogText(), "day 1 07:30:00.000 0x00\n"
                                "day 1 07:30:05.000 0xFF\n"
                                "day 1 07:30:12.100 0xFF\n"
                                "day 1 07:30:13.000 0x00\n");
    EXPECT_NE(text.out.find("*Off*:  Tue 07:30:04\r\n\n"
                            "EVENT:  Tue 07:30:05 On\n next:  Tue 07:30:05 On\n"
                            "*On*:   Tue 07:30:05\r"),
              std::string::npos);
    EXPECT_NE(text.out.find("*On*:   Tue 07:30:12\r\n\n"
                            "EVENT:  Tue 07:30:05 On\n next:  Tue 07:30:12 Off\n"
                            "*On*:   Tue 07:30:12\r"),
              std::string::npos);
    EXPECT_NE(text.out.find("*On*:   Tue 07:30:12\r"
                            "EVENT:  Tue 07:30:12 Off\n next:  Tue 07:30:05 On\n"
                            "*Off*:  Tue 07:30:13\r"),
              std::string::npos);
    EXPECT_EQ(countOf(text.out, "Re-read"), 0);
}

// A held key repeats many times a second: it learns one line until it is
// let go. Other keys learn one line a second, and the refusal is said once
// in that second.
TEST_F(RunnerTest, AHeldKeyLearnsOneLineAndOtherKeysOneLineASecond)
{
    writeFile(eventFileName, "tu 07:00:00 1\n");
    simSetNowMs(simTimeMs(tuesday, 7, 30, 0));
    const long long start = simNowMs();
    simKey(start + 400, 'a');
    for (int ms = 700; ms <= 1900; ms += 100)  // the key held down
        simKey(start + ms, 'a');
    simKey(start + 1950, 'b');
    simKey(start + 1980, 'c');
    simKey(start + 1990, 'd');
    simKey(start + 3000, 'a');  // pressed again
    simKey(start + 4500, escapeKey);
    simKey(start + 5600, escapeKey);
    journalOn = true;

    EXPECT_EQ(run(true), 0);
    EXPECT_EQ(readFile(eventFileName), "tu 07:00:00 1\n"
                                       "Tue 07:30:00 0 ;; *Learned event*\r\n"
                                       "Tue 07:30:01 1 ;; *Learned event*\r\n"
                                       "Tue 07:30:03 0 ;; *Learned event*\r\n");
    // Each learned entry takes over as its second ends.
    EXPECT_EQ(simPortLogText(), "day 1 07:30:00.000 0xFF\n"
                                "day 1 07:30:00.400 0xFF\n"
                                "day 1 07:30:01.000 0x00\n"
                                "day 1 07:30:01.950 0x00\n"
                                "day 1 07:30:02.000 0xFF\n"
                                "day 1 07:30:03.000 0xFF\n"
                                "day 1 07:30:04.000 0x00\n");
    EXPECT_EQ(countOf(text.out, "Key not learned:  one learned line a second\n"), 1);
    EXPECT_EQ(countOf(text.out, "two entries"), 0);
    EXPECT_NE(journal.find("<6>Learned: Tue 07:30:00 Off\n<6>Re-read: learned line\n"), std::string::npos) << journal;
}

TEST_F(RunnerTest, KeysWaitingBehindALearnedKeyAreDiscardedEscapeToo)
{
    writeFile(eventFileName, "");
    simSetNowMs(simTimeMs(wednesday, 18, 0, 0));
    const long long typed = simNowMs() + 400;
    simKey2(typed, 224, 72);  // one learned key, its second code drained
    simKey(typed, 'x');
    simKey(typed, escapeKey);
    simKey(typed + 1000, escapeKey);

    EXPECT_EQ(run(true), 0);
    EXPECT_EQ(readFile(eventFileName), "Wed 18:00:00 1 ;; *Learned event*\r\n");
    EXPECT_EQ(simPortLogText(), "day 2 18:00:00.000 0x00\n"
                                "day 2 18:00:00.400 0xFF\n");
    EXPECT_EQ(simKeysLeft(), 0);
}

TEST_F(RunnerTest, FunctionKeyInLearnModeRereadsWithoutLearning)
{
    writeFile(eventFileName, "");
    simSetNowMs(simTimeMs(wednesday, 18, 0, 0));
    simKey2(simNowMs() + 400, 0, 30);  // Alt+a
    simKey(simNowMs() + 1000, escapeKey);

    EXPECT_EQ(run(true), 0);
    EXPECT_EQ(readFile(eventFileName), "");
    EXPECT_EQ(simPortLogText(), "day 2 18:00:00.000 0x00\n"
                                "day 2 18:00:00.400 0x00\n");
    EXPECT_EQ(countOf(text.out, "\n\n*** Re-read Event file ***\n\n"), 1);
}

}  // namespace
