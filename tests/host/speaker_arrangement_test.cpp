// Speaker-arrangement utilities: allocation layout, copies, and refusals that keep what is held.
// Run under AddressSanitizer these also catch short allocations and leaked arrangements.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tests/host/probe_effect.h"

namespace orvex::test {
namespace {

VstSpeakerProperties* speaker(VstSpeakerArrangement* a, int i) {
    return reinterpret_cast<VstSpeakerProperties*>(reinterpret_cast<char*>(a) + 8 + 112 * i);
}

TEST(SpeakerArrangement, AllocateGivesZeroedHeaderAndSpeakers) {
    BareEffect effect(nullptr);
    VstSpeakerArrangement* a = nullptr;
    ASSERT_TRUE(effect.allocateArrangement(&a, 2));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->numChannels, 2);
    const auto* bytes = reinterpret_cast<const unsigned char*>(a);
    for (int i = 0; i < 232; ++i) {
        if (i < 4 || i >= 8) {
            EXPECT_EQ(bytes[i], 0) << "byte " << i;
        }
    }

    // Reallocation replaces (and releases) the one held.
    std::memset(speaker(a, 1), 0x11, 112);
    ASSERT_TRUE(effect.allocateArrangement(&a, 20));
    EXPECT_EQ(a->numChannels, 20);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(speaker(a, i)->type, 0);

    ASSERT_TRUE(effect.allocateArrangement(&a, 0));
    EXPECT_EQ(a->numChannels, 0);
    EXPECT_TRUE(effect.deallocateArrangement(&a));
    EXPECT_EQ(a, nullptr);
    EXPECT_TRUE(effect.deallocateArrangement(&a)); // nothing held is fine
}

TEST(SpeakerArrangement, RefusedAllocationKeepsTheHeldArrangement) {
    BareEffect effect(nullptr);
    VstSpeakerArrangement* a = nullptr;
    ASSERT_TRUE(effect.allocateArrangement(&a, 1));
    VstSpeakerArrangement* held = a;
    EXPECT_FALSE(effect.allocateArrangement(&a, -1));
    EXPECT_EQ(a, held);
    EXPECT_EQ(a->numChannels, 1);
    EXPECT_FALSE(effect.allocateArrangement(nullptr, 2));
    EXPECT_FALSE(effect.deallocateArrangement(nullptr));
    effect.deallocateArrangement(&a);
}

TEST(SpeakerArrangement, CopySpeakerCopiesEveryFieldAndBoundsTheName) {
    BareEffect effect(nullptr);
    VstSpeakerProperties from{};
    from.azimuth = 0.5f;
    from.elevation = -0.25f;
    from.radius = 2.0f;
    from.reserved = 7.0f;
    std::memset(from.name, 'n', sizeof from.name); // unterminated
    from.type = kSpeakerLfe;
    for (int i = 0; i < 28; ++i) from.future[i] = static_cast<char>(i + 1);
    VstSpeakerProperties to;
    std::memset(&to, 0x7F, sizeof to);
    ASSERT_TRUE(effect.copySpeaker(&to, &from));
    EXPECT_EQ(to.azimuth, 0.5f);
    EXPECT_EQ(to.elevation, -0.25f);
    EXPECT_EQ(to.radius, 2.0f);
    EXPECT_EQ(to.reserved, 7.0f);
    EXPECT_EQ(std::string(to.name), std::string(63, 'n'));
    EXPECT_EQ(to.type, kSpeakerLfe);
    EXPECT_EQ(std::memcmp(to.future, from.future, 28), 0);
    EXPECT_FALSE(effect.copySpeaker(nullptr, &from));
    EXPECT_FALSE(effect.copySpeaker(&to, nullptr));
}

TEST(SpeakerArrangement, MatchMakesAnIndependentCopy) {
    BareEffect effect(nullptr);
    VstSpeakerArrangement* from = nullptr;
    ASSERT_TRUE(effect.allocateArrangement(&from, 10)); // more than the record's eight
    from->type = kSpeakerArr81Cine;
    for (int i = 0; i < 10; ++i) {
        speaker(from, i)->azimuth = 0.1f * static_cast<float>(i);
        speaker(from, i)->type = i;
        std::snprintf(speaker(from, i)->name, 64, "speaker %d", i);
    }
    VstSpeakerArrangement* to = nullptr;
    ASSERT_TRUE(effect.allocateArrangement(&to, 1));
    ASSERT_TRUE(effect.matchArrangement(&to, from));
    ASSERT_NE(to, from);
    EXPECT_EQ(to->type, kSpeakerArr81Cine);
    ASSERT_EQ(to->numChannels, 10);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(speaker(to, i)->azimuth, 0.1f * static_cast<float>(i));
        EXPECT_EQ(speaker(to, i)->type, i);
        EXPECT_EQ(std::string(speaker(to, i)->name), "speaker " + std::to_string(i));
    }
    EXPECT_TRUE(effect.matchArrangement(&to, to)); // matching itself keeps it intact
    EXPECT_EQ(to->numChannels, 10);

    VstSpeakerArrangement* held = to;
    EXPECT_FALSE(effect.matchArrangement(&to, nullptr));
    EXPECT_EQ(to, held);
    effect.deallocateArrangement(&to);
    effect.deallocateArrangement(&from);
}

} // namespace
} // namespace orvex::test
