// The parameter collection: range mapping, limiting, display texts, label recognition, metadata.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "plugin/parameters.h"

namespace orvex {
namespace {

std::string display(vstUIObject& object) {
    char text[kMaxParameterNameLength + 1];
    std::memset(text, 'x', sizeof text);
    object.getDisplay(text);
    return text;
}

vstSlider slider(float* cell, float min, float max, float step, float init = 0.0f) {
    return vstSlider("s", cell, init, min, max, step);
}

TEST(ParameterSlider, MapsNormalisedValuesLinearlyAndLimitsThemToTheRange) {
    float cell = 9700.0f;
    vstSlider lowpass("Lowpass Filter", &cell, 9700.0f, 1000.0f, 15000.0f, 100.0f);
    EXPECT_FLOAT_EQ(lowpass.getValue(), 8700.0f / 14000.0f);
    EXPECT_EQ(lowpass.getValue(), 0.62142855f);

    lowpass.setValue(0.5);
    EXPECT_EQ(cell, 8000.0f);
    EXPECT_EQ(lowpass.getValue(), 0.5f);
    lowpass.setValue(1.5);
    EXPECT_EQ(cell, 15000.0f);
    lowpass.setValue(-0.2);
    EXPECT_EQ(cell, 1000.0f);
    lowpass.setValue(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(cell, 1000.0f);
    lowpass.setValue(std::numeric_limits<double>::infinity());
    EXPECT_EQ(cell, 15000.0f);
    lowpass.setValue(-std::numeric_limits<double>::infinity());
    EXPECT_EQ(cell, 1000.0f);

    // Not quantised to the step.
    float level = 8.0f;
    vstSlider band("Band 1 Level dB", &level, 8.0f, 0.0f, 24.0f, 1.0f);
    band.setValue(0.3);
    EXPECT_EQ(level, 24.0f * 0.3f);
    EXPECT_EQ(display(band), "7");
}

TEST(ParameterSlider, PlainValuesAreLimitedButNotMapped) {
    float cell = 0.0f;
    auto s = slider(&cell, -6.0f, 6.0f, 0.1f);
    s.setPlainValue(2.5);
    EXPECT_EQ(cell, 2.5f);
    EXPECT_EQ(s.getPlainValue(), 2.5f);
    s.setPlainValue(7.0);
    EXPECT_EQ(cell, 6.0f);
    s.setPlainValue(-100.0);
    EXPECT_EQ(cell, -6.0f);
    s.setPlainValue(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(cell, -6.0f);

    // A cell outside the range reads back outside 0..1.
    cell = 12.0f;
    EXPECT_FLOAT_EQ(s.getValue(), 1.5f);
}

TEST(ParameterSlider, PrecisionFollowsTheStep) {
    EXPECT_EQ(vstSlider::precisionOf(1.0f), 0);
    EXPECT_EQ(vstSlider::precisionOf(100.0f), 0);
    EXPECT_EQ(vstSlider::precisionOf(0.1f), 1);
    EXPECT_EQ(vstSlider::precisionOf(0.25f), 2);
    EXPECT_EQ(vstSlider::precisionOf(0.01f), 6);
    EXPECT_EQ(vstSlider::precisionOf(0.0f), 0);
    EXPECT_EQ(vstSlider::precisionOf(1.0e9f), 0);
}

TEST(ParameterSlider, DisplayShowsThePrecisionOrTheTruncatedInteger) {
    float cell = 0.7f;
    auto scale = slider(&cell, -6.0f, 6.0f, 0.1f);
    EXPECT_EQ(display(scale), "0.7");
    cell = -6.0f;
    EXPECT_EQ(display(scale), "-6.0");

    float whole = -15.7f;
    auto gate = slider(&whole, -90.0f, 50.0f, 1.0f);
    EXPECT_EQ(display(gate), "-15");
    whole = 15.99f;
    EXPECT_EQ(display(gate), "15");

    float fine = 1.5f;
    auto hundredths = slider(&fine, 0.0f, 2.0f, 0.01f);
    EXPECT_EQ(display(hundredths), "1.500000");

    // Nothing an int cannot hold is ever truncated into one.
    float huge = 1.0e20f;
    auto wide = slider(&huge, 0.0f, 1.0e30f, 1.0f);
    EXPECT_EQ(display(wide), std::to_string(std::numeric_limits<int>::max()));
}

TEST(ParameterSwitches, AreOnAboveOneHalf) {
    float cell = 0.0f;
    vstCheckButton check("Disable KVLN EQ", &cell);
    check.setValue(0.5);
    EXPECT_EQ(cell, 0.0f);
    EXPECT_EQ(display(check), "OFF");
    check.setValue(0.51);
    EXPECT_EQ(cell, 1.0f);
    EXPECT_EQ(display(check), "ON");
    EXPECT_EQ(check.getValue(), 1.0f);

    float pressed = 0.0f;
    vstButton button("b", &pressed);
    button.setValue(0.9);
    EXPECT_EQ(pressed, 1.0f);
    EXPECT_EQ(display(button), "ON");
    button.setValue(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(pressed, 0.0f);

    // The plain value of a switch is limited to 0..1; not a number ends at 1.
    button.setPlainValue(3.0);
    EXPECT_EQ(pressed, 1.0f);
    button.setPlainValue(-3.0);
    EXPECT_EQ(pressed, 0.0f);
    button.setPlainValue(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(pressed, 1.0f);
}

TEST(ParameterNames, AreCopiedWithinTheBoundAndSummedAsSignedCharacters) {
    float cell = 0.0f;
    vstButton ab("ab", &cell);
    EXPECT_EQ(ab.labelSum(), 195);
    const char high[] = {'a', static_cast<char>(200), '\0'};
    vstButton withHigh(high, &cell);
    EXPECT_EQ(withHigh.labelSum(), 97 - 56);
    vstButton empty("", &cell);
    EXPECT_EQ(empty.labelSum(), 0);

    const std::string longLabel(100, 'L');
    vstButton longOne(longLabel.c_str(), &cell);
    char text[128];
    std::memset(text, '#', sizeof text);
    longOne.getName(text);
    EXPECT_EQ(std::strlen(text), static_cast<std::size_t>(kMaxParameterNameLength));
    EXPECT_EQ(text[kMaxParameterNameLength + 1], '#');  // nothing written past the terminator

    vstButton shortOne("Final 2k HF Shelf", &cell);
    shortOne.getName(text);
    EXPECT_STREQ(text, "Final 2k HF Shelf");
}

TEST(ParameterCollection, RecognisesVoiceControlsOnlyOnTheKindsThatCarryThem) {
    float cells[12] = {};
    vstUI ui;
    ui.openColumnGroup("g");
    ui.addHorizontalFader("gain", &cells[0], 0, 0, 1, 0.1f);
    ui.addCheckButton("gate", &cells[1]);  // a check button never becomes the gate
    ui.addButton("freq", &cells[2]);       // nor does a button become a voice frequency
    ui.addVerticalFader("freq", &cells[3], 0, 0, 1, 0.1f);
    ui.addNumberBox("prevfreq", &cells[4], 0, 0, 1, 0.1f);
    ui.addHorizontalFader("pitchbend", &cells[5], 0, -1, 1, 0.1f);
    ui.addHorizontalMeter("meter", &cells[6], 0, 1);  // meters are not parameters
    ui.addVerticalMeter("meter", &cells[7], 0, 1);
    ui.addSoundSlot("slot", "file", nullptr);
    ui.closeGroup();
    EXPECT_EQ(ui.size(), 6);
    EXPECT_EQ(ui.gainIndex, 0);
    EXPECT_EQ(ui.gateIndex, -1);
    EXPECT_EQ(ui.freqIndex, 3);
    EXPECT_EQ(ui.prevFreqIndex, 4);
    EXPECT_EQ(ui.pitchBendIndex, 5);

    ui.addButton("gate", &cells[8]);
    EXPECT_EQ(ui.gateIndex, 6);
    ui.addHorizontalFader("gate", &cells[9], 0, 0, 1, 1);  // a later control overrides
    EXPECT_EQ(ui.gateIndex, 7);
    ui.addHorizontalFader("Gate", &cells[10], 0, 0, 1, 1);  // exact, case-sensitive match
    EXPECT_EQ(ui.gateIndex, 7);

    EXPECT_NE(dynamic_cast<vstSlider*>(&ui.at(0)), nullptr);
    EXPECT_NE(dynamic_cast<vstCheckButton*>(&ui.at(1)), nullptr);
    EXPECT_NE(dynamic_cast<vstButton*>(&ui.at(2)), nullptr);
    EXPECT_EQ(ui.at(3).zone(), &cells[3]);

    vstUI sums;
    sums.addButton("ab", &cells[11]);
    sums.addCheckButton("c", &cells[11]);
    EXPECT_EQ(sums.labelSum(), 195 + 99);
}

TEST(ParameterCollection, KeepsControlMetadataPerCellWithTheLatestValue) {
    float cells[3] = {};
    vstUI ui;
    ui.attachMetadata(&cells[0], "da", "");
    ui.attachMetadata(&cells[0], "unit", "x");
    ui.addHorizontalFader("DNR Sensitivity", &cells[0], 300, 10, 300, 1);
    ui.attachMetadata(&cells[1], "unit", "dB");
    ui.attachMetadata(&cells[1], "unit", "Hz");
    ui.addHorizontalFader("other", &cells[1], 0, 0, 1, 1);
    ui.addCheckButton("plain", &cells[2]);

    EXPECT_STREQ(ui.metadata(0, "unit"), "x");
    EXPECT_STREQ(ui.metadata(0, "da"), "");
    EXPECT_STREQ(ui.metadata(1, "unit"), "Hz");
    EXPECT_EQ(ui.metadata(2, "unit"), nullptr);
    EXPECT_EQ(ui.metadata(3, "unit"), nullptr);
    EXPECT_EQ(ui.metadata(-1, "unit"), nullptr);
    EXPECT_EQ(ui.controlMetadata.size(), 2u);
}

TEST(ParameterCollection, AddingAControlLeavesItsCellAlone) {
    float cell = 123.0f;
    vstUI ui;
    ui.addHorizontalFader("s", &cell, 5, 0, 1000, 1);
    EXPECT_EQ(cell, 123.0f);
    EXPECT_EQ(static_cast<vstSlider&>(ui.at(0)).defaultValue(), 5.0f);
}

TEST(ParameterCollection, SavedValuesComeBackUnmapped) {
    float cells[2] = {7.25f, 1.0f};
    vstUI ui;
    ui.addHorizontalFader("a", &cells[0], 0, 0, 24, 1);
    ui.addCheckButton("b", &cells[1]);
    std::vector<float> saved;
    ui.saveValues(saved);
    cells[0] = 0.0f;
    cells[1] = 0.0f;
    ui.restoreValues(saved);
    EXPECT_EQ(cells[0], 7.25f);
    EXPECT_EQ(cells[1], 1.0f);
}

TEST(ParameterCollectionDeathTest, AnIndexOutsideTheTableStopsTheProcess) {
    float cell = 0.0f;
    vstUI ui;
    ui.addCheckButton("only", &cell);
    EXPECT_DEATH(ui.at(1), "index < \\(VstInt32\\)fUITable.size\\(\\)");
    EXPECT_DEATH(ui.at(-1), "index < \\(VstInt32\\)fUITable.size\\(\\)");
}

}  // namespace
}  // namespace orvex
