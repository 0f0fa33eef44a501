// Who the effect is and what it offers: identity texts from the processor's metadata, channel
// descriptions, capability answers, and the single program as VST and MIDI program.
//
// Threads: called from the host's non-audio threads; nothing here touches audio state.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "plugin/orvex.h"
#include "plugin/text.h"

namespace orvex {

namespace {

bool describePin(VstPinProperties* p, VstInt32 index, int count, const char* label, const char* shortLabel) {
    if (!p || index < 0 || index >= count) return false;
    char text[kVstMaxLabelLen + 16];
    std::snprintf(text, sizeof text, label, static_cast<int>(index));
    copyBounded(p->label, text, sizeof p->label - 1);
    std::snprintf(text, sizeof text, shortLabel, static_cast<int>(index));
    copyBounded(p->shortLabel, text, sizeof p->shortLabel - 1);
    p->flags = kVstPinIsActive;
    if (count == 2) p->flags |= kVstPinIsStereo;
    return true;
}

}  // namespace

// ---- programs -------------------------------------------------------------------------------

void Orvex::setProgram(VstInt32 program) {
    if (program == 0) {
        AudioEffectX::setProgram(0);
        return;
    }
    std::fprintf(stderr, "*** Orvex vsti: setting program to %d is OUT OF RANGE\n", static_cast<int>(program));
}

void Orvex::setProgramName(char* name) {
    if (!name) return;
    copyBounded(fProgramName, name, 24);
}

void Orvex::writeProgramName(char* text) const { copyBounded(text, fProgramName, 24); }

void Orvex::getProgramName(char* name) {
    if (name) writeProgramName(name);
}

bool Orvex::getProgramNameIndexed(VstInt32 /*category*/, VstInt32 index, char* text) {
    if (index > 0 || !text) return false;
    writeProgramName(text);
    return true;
}

void Orvex::fillMidiProgram(MidiProgramName* p) const {
    writeProgramName(p->name);
    p->midiProgram = 0;
    p->midiBankMsb = -1;
    p->midiBankLsb = -1;
    p->reserved = 0;
    p->parentCategoryIndex = -1;
    p->flags = 0;
}

VstInt32 Orvex::getMidiProgramName(VstInt32 /*channel*/, MidiProgramName* p) {
    if (!p || p->thisProgramIndex != 0) return 0;
    fillMidiProgram(p);
    return 1;
}

VstInt32 Orvex::getCurrentMidiProgram(VstInt32 channel, MidiProgramName* p) {
    if (static_cast<std::uint32_t>(channel) > 15 || !p) return -1;
    p->thisProgramIndex = 0;
    fillMidiProgram(p);
    return 0;
}

VstInt32 Orvex::getMidiProgramCategory(VstInt32 /*channel*/, MidiProgramCategory* category) {
    if (!category) return 0;
    copyBounded(category->name, "Orvex Patch", 24);
    category->parentCategoryIndex = -1;
    category->flags = 0;
    return 1;
}

// ---- identity -------------------------------------------------------------------------------

bool Orvex::getEffectName(char* name) {
    if (!name) return false;
    copyBounded(name, getMetadata("name", "Effect Name goes here"), kVstMaxEffectNameLen);
    return true;
}

bool Orvex::getVendorString(char* text) {
    if (!text) return false;
    copyBounded(text, getMetadata("author", "Vendor String goes here"), kVstMaxVendorStrLen);
    return true;
}

bool Orvex::getProductString(char* text) {
    if (!text) return false;
    copyBounded(text, getMetadata("name", "Product String goes here"), kVstMaxProductStrLen);
    return true;
}

VstInt32 Orvex::getVendorVersion() {
    const double version = std::strtod(getMetadata("version", "0.0"), nullptr);
    if (!(std::fabs(version) < 2147483647.0)) return 0;
    return static_cast<VstInt32>(version);
}

bool Orvex::getInputProperties(VstInt32 index, VstPinProperties* properties) {
    return describePin(properties, index, fInputs, "Tervo Orvex DSP input: %d", "In %d");
}

bool Orvex::getOutputProperties(VstInt32 index, VstPinProperties* properties) {
    return describePin(properties, index, fOutputs, "Tervo Orvex DSP output: %d", "Out %d");
}

VstInt32 Orvex::canDo(char* text) {
    if (!text) return -1;
    static const char* const kCapabilities[] = {"receiveVstEvents", "receiveVstMidiEvent", "midiProgramNames"};
    for (const char* capability : kCapabilities)
        if (std::strcmp(text, capability) == 0) return 1;
    return -1;
}

}  // namespace orvex
