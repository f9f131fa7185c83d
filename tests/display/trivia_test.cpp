#include "display/trivia.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

TEST(TriviaFacts, TableHoldsTheFixedSentencesInOrder) {
    const std::vector<std::pair<std::size_t, std::string>> fixed = {
        {0, "ARPANET was a major predecessor of the modern Internet."},
        {1, "Archie was an early Internet search tool, not a web browser."},
        {2, "The first web browser was called WorldWideWeb."},
        {3, "WorldWideWeb was later renamed Nexus."},
        {4, "The first website went online at CERN."},
        {5, "ZIP was first released in 1989."},
        {6, "RAR first appeared in the early 1990s."},
        {7, "Zstandard was first released by Facebook engineers."},
        {8, "Linux was first announced publicly in 1991."},
        {9, "The C programming language originated at Bell Labs."},
        {10, "C++ was originally called C with Classes."},
        {11, "The first computer mouse prototype was made from wood."},
        {12, "The first webcam watched a coffee pot."},
        {13, "The first message sent over ARPANET was meant to say LOGIN."},
        {14, "The ARPANET connection crashed after transmitting LO."},
        {15, "A byte normally contains eight bits."},
        {16, "A nibble is half of a byte."},
        {19, "Java was originally called Oak."},
        {20, "JavaScript was created in roughly ten days."},
        {21, "Git was originally created for Linux kernel development."},
        {22, "The first hard drives were larger than refrigerators."},
        {23, "Modern game folders can contain thousands of tiny files."},
        {24, "Compression works by reducing repeated information."},
        {25, "Already-compressed video and audio may barely shrink."},
        {26, "HLG stands for GRUMO Archive."},
        {27, "Hoardling consumes chunks during extraction."},
        {32, "The progress bar is made from organised rectangles."},
        {33, "Your CPU is currently performing an unreasonable amount of maths."},
        {34, "This fact exists because watching percentages is boring."},
        {35, "Deleting an archive during extraction is mildly unhinged."},
        {36, "Verification is considerably cheaper than regret."},
        {37, "A 256 MiB chunk can contain hundreds of small files."},
        {38, "Empty folders also deserve to be archived."},
        {39, "The original Doom was released in 1993."},
        {40, "The Apollo Guidance Computer had less memory than a modern image."},
        {41, "The QWERTY keyboard layout dates back to typewriters."},
        {42, "The term bug predates electronic computers."},
        {44, "The first commercial CD was produced in the early 1980s."},
        {45, "The compact disc was designed to be read from the centre outward."},
        {46, "A terabyte contains over one trillion decimal bytes."},
        {47, "Binary prefixes use KiB, MiB, GiB and TiB."},
        {48, "The Linux mascot is called Tux."},
        {49, "The KDE mascot is a green dragon called Konqi."},
        {51, "A geostationary satellite appears fixed above one location."},
        {52, "Escape velocity does not mean an engine must reach that speed instantly."},
        {53, "Space is difficult. Archive formats are somehow also difficult."},
        {54, "The first version of Hoardling used one chunk per file."},
        {55, "Grouped chunks improved Hoardling compression considerably."},
        {57, "The best backup is the one you tested before needing it."},
    };
    for (const auto& [index, sentence] : fixed) {
        EXPECT_EQ(std::string(triviaFacts[index]), sentence) << "entry " << index;
    }
}

TEST(TriviaFacts, EverySentenceIsPrintableAsciiOfTheAllowedLength) {
    ASSERT_EQ(kTriviaFactCount, 58u);
    std::set<std::string> seen;
    for (std::size_t i = 0; i < kTriviaFactCount; ++i) {
        const std::string fact = triviaFacts[i];
        EXPECT_GE(fact.size(), 27u) << i;
        EXPECT_LE(fact.size(), 72u) << i;
        EXPECT_EQ(fact.back(), '.') << i;
        for (const char c : fact) EXPECT_TRUE(c >= 0x20 && c <= 0x7e) << i;
        // One sentence each, but for entry 53.
        if (i != 53) {
            EXPECT_EQ(fact.find(". "), std::string::npos) << i;
        }
        EXPECT_TRUE(seen.insert(fact).second) << "duplicate entry " << i;
    }
    EXPECT_EQ(std::strlen(triviaFacts[52]), 72u);
    EXPECT_EQ(std::strlen(triviaFacts[16]), 27u);
}

}  // namespace
