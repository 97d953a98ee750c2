// The journal's priorities before each console line, across writes of any
// size and output buffers of any room.
#include <gtest/gtest.h>

#include <string>
#include <syslog.h>

#include "console.hpp"

namespace
{

// What the console writes for these writes, in output buffers of room bytes.
std::string with_priorities(LinePriorities lines, std::initializer_list<std::string> writes,
                            size_t room)
{
    std::string written;
    for (const std::string &data : writes) {
        size_t done = 0;
        while (done < data.size()) {
            char out[64];
            size_t taken = 0;
            const size_t used =
                add_priorities(&lines, data.data() + done, data.size() - done, out, room, &taken);
            EXPECT_GT(taken, 0u) << "no progress with room " << room;
            EXPECT_LE(used, room);
            if (taken == 0)
                return written;
            written.append(out, used);
            done += taken;
        }
    }
    return written;
}

TEST(Priorities, EachLineGetsOneWhereverTheWritesCut)
{
    const LinePriorities info = {LOG_INFO, LOG_INFO, true};
    const std::string expected = "<6>Published\r\n<6>Data published\r\n<6>\n<6>Received";
    // Whole lines, a line cut in the middle and at its line end, byte by byte.
    for (size_t room : {64, 8, 5, 4}) {
        EXPECT_EQ(with_priorities(info, {"Published\r\nData published\r\n\nReceived"}, room),
                  expected)
            << room;
        EXPECT_EQ(with_priorities(
                      info, {"Publ", "ished\r", "\nData published\r\n", "\n", "Received"}, room),
                  expected)
            << room;
    }
    std::initializer_list<std::string> bytes = {"a", "\n", "b", "\n"};
    EXPECT_EQ(with_priorities(info, bytes, 64), "<6>a\n<6>b\n");
}

TEST(Priorities, TheLinesPriorityEndsWithTheLine)
{
    // A reason at warning on standard error, whose lines are failures (err)
    // otherwise.
    const LinePriorities warning = {LOG_ERR, LOG_WARNING, true};
    EXPECT_EQ(with_priorities(warning, {"Reason: x\nFailed\n"}, 64), "<4>Reason: x\n<3>Failed\n");
    EXPECT_EQ(with_priorities(warning, {"Rea", "son: x\n", "Failed\n"}, 4),
              "<4>Reason: x\n<3>Failed\n");
}

TEST(Priorities, APriorityIsNeverCutFromItsLine)
{
    LinePriorities lines = {LOG_INFO, LOG_INFO, true};
    char out[8];
    size_t taken = 0;
    // Room for "a\n" and no more than a priority: the next line waits.
    EXPECT_EQ(add_priorities(&lines, "a\nb\n", 4, out, 6, &taken), 5u);
    EXPECT_EQ(std::string(out, 5), "<6>a\n");
    EXPECT_EQ(taken, 2u);
}

} // namespace
