// The ordered ring: insertion, duplicates, removal, the record in force.
#include "schedule.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace {

class Ring : public ::testing::Test {
protected:
    void SetUp() override { resetProgram(); }
    void TearDown() override { resetProgram(); }

    // Adds "day time" records quietly; returns addEvent's results.
    int add(int day, const char *time, int32_t value = 1)
    {
        beginCapture();
        int result = addEvent(day, time, value);
        lastOutput = endCapture().out;
        return result;
    }

    // The ring forward from the head, checking the backward links on the way.
    std::string walk()
    {
        std::string text;
        if (eventList == nullptr)
            return text;
        const rtEvent_t *ev = eventList;
        int count = 0;
        do {
            EXPECT_EQ(ev->next->prev, ev);
            if (ev->next != eventList) {
                EXPECT_LT(ev->dayTime, ev->next->dayTime);
            }
            char item[32];
            snprintf(item, sizeof item, "%s%X", text.empty() ? "" : " ", (unsigned)ev->dayTime);
            text += item;
            ev = ev->next;
        } while (ev != eventList && ++count < 5000);
        EXPECT_EQ(count < 5000 ? count + 1 : -1, allocCnt);
        return text;
    }

    int32_t key(int day, const char *time)
    {
        rtEvent_t ev = {};
        parseEvent(&ev, dayNames[day], time, -1);
        return ev.dayTime;
    }

    std::string lastOutput;
};

TEST_F(Ring, InsertsAtHeadTailAndMiddle)
{
    ASSERT_EQ(add(2, "12:00"), 0);
    ASSERT_EQ(add(4, "12:00"), 0);   // tail
    ASSERT_EQ(add(0, "12:00"), 0);   // head
    ASSERT_EQ(add(3, "12:00"), 0);   // middle
    ASSERT_EQ(add(6, "23:59:59"), 0);
    ASSERT_EQ(add(0, "0"), 0);
    EXPECT_EQ(walk(), "0 120000 2120000 3120000 4120000 6235959");
    EXPECT_EQ(eventList->dayTime, 0);
    EXPECT_EQ(eventList->prev->dayTime, 0x06235959);
}

TEST_F(Ring, DuplicatesLeaveRingAndCountUnchanged)
{
    add(1, "8");
    add(3, "8");
    add(5, "8");
    const std::string before = walk();
    for (int day : {1, 3, 5}) {
        EXPECT_EQ(add(day, "08:00:00", 0), -1);
        EXPECT_EQ(lastOutput, "ERROR:  two entries have the same day/time value!\n");
        EXPECT_EQ(allocCnt, 3);
        EXPECT_EQ(walk(), before);
    }
    EXPECT_EQ(eventList->state, 255);
}

TEST_F(Ring, BadRecordsAreNotKept)
{
    EXPECT_EQ(add(0, "24"), -1);
    EXPECT_EQ(lastOutput, "ERROR:  Bad time value:  '24: 0: 0'\n");
    EXPECT_EQ(allocCnt, 0);
    EXPECT_EQ(eventList, nullptr);
}

TEST_F(Ring, RemovingTheHeadOfTwo)
{
    add(0, "8");
    add(4, "18");
    ASSERT_EQ(removeEvent(eventList), 0);
    ASSERT_NE(eventList, nullptr);
    EXPECT_EQ(eventList->dayTime, 0x04180000);
    EXPECT_EQ(eventList->next, eventList);
    EXPECT_EQ(eventList->prev, eventList);
    EXPECT_EQ(allocCnt, 1);
    ASSERT_EQ(removeEvent(eventList), 0);
    EXPECT_EQ(eventList, nullptr);
    EXPECT_EQ(allocCnt, 0);
}

TEST_F(Ring, CounterGuardRefusesWhenNothingIsAllocated)
{
    rtEvent_t loose = {};
    parseEvent(&loose, "mo", "8", 1);
    beginCapture();
    EXPECT_EQ(insertEvent(&loose), -1);
    EXPECT_EQ(removeEvent(&loose), -1);
    EXPECT_EQ(endCapture().out, "ERROR:  nothing allocated!\nERROR:  nothing allocated!\n");
    EXPECT_EQ(eventList, nullptr);
}

TEST_F(Ring, FindCurrentOnEmptyAndSingleRing)
{
    EXPECT_EQ(findCurrentEvent(key(2, "12:00")), nullptr);
    beginCapture();
    listEvents();
    EXPECT_EQ(endCapture().out, "");
    add(0, "08:00:00");
    for (auto probe : {key(0, "0"), key(0, "08:00:00"), key(0, "08:00:01"), key(6, "23:59:59")})
        EXPECT_EQ(findCurrentEvent(probe), eventList);
}

TEST_F(Ring, FindCurrentWrapsFromFridayToMonday)
{
    add(0, "08:00:00");
    add(4, "18:00:00");
    const rtEvent_t *monday = eventList;
    const rtEvent_t *friday = eventList->next;
    EXPECT_EQ(findCurrentEvent(key(6, "12:00:00")), friday);
    EXPECT_EQ(findCurrentEvent(key(0, "07:00:00")), friday);
    EXPECT_EQ(findCurrentEvent(key(0, "08:00:00")), friday);
    EXPECT_EQ(findCurrentEvent(key(0, "08:00:01")), monday);
    EXPECT_EQ(findCurrentEvent(key(4, "18:00:00")), monday);
    EXPECT_EQ(findCurrentEvent(key(4, "18:00:01")), friday);
    EXPECT_EQ(findCurrentEvent(key(4, "18:00:00")), monday);  // set back onto the tail's own second
}

TEST_F(Ring, FindCurrentInALongerRing)
{
    for (const char *time : {"06:00", "07:00", "08:00", "09:00"})
        add(2, time);
    EXPECT_EQ(findCurrentEvent(key(2, "07:30"))->dayTime, key(2, "07:00"));
    EXPECT_EQ(findCurrentEvent(key(2, "09:00"))->dayTime, key(2, "08:00"));
    EXPECT_EQ(findCurrentEvent(key(2, "08:00"))->dayTime, key(2, "07:00"));  // set back onto its own second
    EXPECT_EQ(findCurrentEvent(key(3, "00:00"))->dayTime, key(2, "09:00"));
}

// Loading walks from each day's last insertion; orders that move that
// finger around (ranges, reverse order, removals) must still sort.
TEST_F(Ring, InsertionOrderDoesNotMatter)
{
    std::vector<std::pair<int, const char *>> order = {
        {0, "10"}, {1, "10"}, {2, "10"}, {0, "09"}, {1, "11"}, {0, "11"}, {6, "1"}, {0, "10:30"},
        {2, "09"}, {1, "09:59:59"}, {0, "0"}, {6, "0"},
    };
    for (const auto &item : order)
        ASSERT_EQ(add(item.first, item.second), 0);
    EXPECT_EQ(walk(), "0 90000 100000 103000 110000 1095959 1100000 1110000 2090000 2100000 "
                      "6000000 6010000");
    // Removing records the fingers point at, then inserting again.
    removeEvent(eventList->prev);
    removeEvent(eventList->next->next->next);
    ASSERT_EQ(add(6, "12"), 0);
    ASSERT_EQ(add(0, "10:15"), 0);
    EXPECT_EQ(walk(), "0 90000 100000 101500 110000 1095959 1100000 1110000 2090000 2100000 "
                      "6000000 6120000");
}

// Any order of lines, duplicates included, against a plain sorted map: the
// same ring, the same refusals, and the same record in force for a clock
// that runs on, jumps, and meets records inserted and removed meanwhile. Some
// rounds hold a hand-made record whose key names no second of the week.
TEST_F(Ring, RandomOrdersMatchASortedReference)
{
    std::mt19937 random(2024);
    auto keyOfSecond = [](int s) {
        return (int32_t)((s / 86400) << 24 | toBcd(s / 3600 % 24) << 16 | toBcd(s / 60 % 60) << 8 |
                         toBcd(s % 60));
    };
    for (int round = 0; round < 12; round++) {
        resetProgram();
        std::map<int32_t, int32_t> reference;  // key: state of the first record
        // Seconds drawn from a window: narrow ones crowd the index's words.
        const int widths[] = {300, 9000, 604800};
        int width = widths[round % 3], from = (int)(random() % (604800 - width + 1));
        std::vector<int> pool(20 + round * round * 30);
        for (int &second : pool)
            second = from + (int)(random() % width);
        auto addSome = [&](int count) {
            std::string results, expected, messages;
            beginCapture();
            for (int i = 0; i < count; i++) {
                int s = pool[random() % pool.size()];
                char time[16];
                snprintf(time, sizeof time, "%d:%d:%d", s / 3600 % 24, s / 60 % 60, s % 60);
                int32_t value = (int32_t)(random() % 3) - 1;
                bool fresh = reference.emplace(keyOfSecond(s), value).second;
                results += addEvent(s / 86400, time, value) == 0 ? '+' : '-';
                expected += fresh ? '+' : '-';
                messages += fresh ? "" : "ERROR:  two entries have the same day/time value!\n";
            }
            EXPECT_EQ(endCapture().out, messages);
            EXPECT_EQ(results, expected);
        };
        auto expectSameRing = [&] {
            std::string text;
            for (const auto &entry : reference) {
                char item[32];
                snprintf(item, sizeof item, "%s%X", text.empty() ? "" : " ", (unsigned)entry.first);
                text += item;
            }
            ASSERT_EQ(walk(), text);
            for (const rtEvent_t *ev = eventList; ev != nullptr && ev->next != eventList; ev = ev->next)
                ASSERT_EQ(ev->state, reference.at(ev->dayTime) == 0 ? 0 : reference.at(ev->dayTime) == -1 ? -1 : 255);
        };
        auto expectInForce = [&](int32_t probe) {
            if (reference.empty())
                return;
            auto above = reference.lower_bound(probe);
            int32_t inForce = above == reference.begin() ? reference.rbegin()->first : std::prev(above)->first;
            ASSERT_EQ(findCurrentEvent(probe)->dayTime, inForce) << std::hex << probe;
        };
        auto runClock = [&] {
            int s = (int)(random() % 604800);
            for (int step = 0; step < 400; step++) {
                s = random() % 10 == 0 ? (int)(random() % 604800) : (s + (int)(random() % 3)) % 604800;
                expectInForce(keyOfSecond(s));
            }
        };
        rtEvent_t *odd = nullptr;
        if (round % 4 == 3) {
            odd = new rtEvent_t();
            parseEvent(odd, "we", "12:00:59", 1);
            odd->dayTime += 0x5A - 0x59;  // after 12:00:59, before 12:01:00
            allocCnt++;
            ASSERT_EQ(insertEvent(odd), 0);
            reference.emplace(odd->dayTime, 1);
        }
        addSome(40 + round * 200);
        ASSERT_NO_FATAL_FAILURE(expectSameRing());
        runClock();
        for (int i = (int)reference.size() / 2; i > 0 && eventList != nullptr; i--) {
            rtEvent_t *gone = findCurrentEvent(keyOfSecond((int)(random() % 604800)));
            if (gone == odd)
                odd = nullptr;
            reference.erase(gone->dayTime);
            ASSERT_EQ(removeEvent(gone), 0);
            expectInForce(keyOfSecond((int)(random() % 604800)));
        }
        if (odd != nullptr) {
            reference.erase(odd->dayTime);
            ASSERT_EQ(removeEvent(odd), 0);
        }
        addSome(40 + round * 20);
        ASSERT_NO_FATAL_FAILURE(expectSameRing());
        runClock();
        EXPECT_EQ(allocCnt, (int)reference.size());
    }
}

TEST_F(Ring, ClearEventsFreesEverything)
{
    for (int day = 0; day < 7; day++)
        add(day, "12");
    clearEvents();
    EXPECT_EQ(eventList, nullptr);
    EXPECT_EQ(allocCnt, 0);
    ASSERT_EQ(add(3, "1"), 0);
    EXPECT_EQ(walk(), "3010000");
}

} // namespace
