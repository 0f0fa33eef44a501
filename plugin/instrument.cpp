// Note events and the voice pool: queueing MIDI, and the instrument path that plays the queued
// notes on ten voices for processors without audio inputs.
//
// Threads: processEvents and processReplacing both run on the host's audio thread, one after the
// other; the queue and the voice lists are touched by nothing else.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "plugin/orvex.h"

namespace orvex {

namespace {

// Equal-tempered frequency of a MIDI note, A4 = note 69 = 440 Hz.
float noteFrequency(int note) {
    return 440.0f * std::pow(2.0f, static_cast<float>(note - 69) * 0.083333336f);
}

constexpr float kVelocityScale = 0.007874016f;  // 1/127
constexpr float kOutputScale = 0.31622776f;      // -10 dB headroom for the voice sum
constexpr float kSilence = 0.000001f;

bool contains(const std::vector<int>& list, int value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

// ---- MIDI -----------------------------------------------------------------------------------

VstInt32 Orvex::processEvents(VstEvents* events) {
    if (!events) return 1;
    // The record declares a two-entry array, but hosts append as many pointers as numEvents
    // says; index through a pointer so the access is to the host's real list.
    VstEvent* const* list = events->events;
    for (VstInt32 i = 0; i < events->numEvents; ++i) {
        const VstEvent* event = list[i];
        if (!event || event->type != kVstMidiType) continue;
        const auto* midi = reinterpret_cast<const VstMidiEvent*>(event);
        const int status = static_cast<unsigned char>(midi->midiData[0]) & 0xF0;
        const int data1 = static_cast<unsigned char>(midi->midiData[1]) & 0x7F;
        const int data2 = static_cast<unsigned char>(midi->midiData[2]) & 0x7F;
        switch (status) {
            case 0x90:
                queueNote(data1, data2, midi->deltaFrames);  // velocity 0 is a note off
                break;
            case 0x80:
                queueNote(data1, 0, midi->deltaFrames);
                break;
            case 0xB0:
                std::fputs("=== Orvex vsti: CONTROL CHANGE (status 0xB0)!\n", stderr);
                if (data1 == 123 || data1 == 126) {
                    std::fputs("=== Orvex vsti: ALL NOTES OFF!\n", stderr);
                    allNotesOff();
                }
                break;
            case 0xE0:
                pitchBend(static_cast<float>(data2 * 128 + data1 - 8192) * 0.0001220703125f);
                break;
            default:
                break;
        }
    }
    return 1;
}

void Orvex::queueNote(int note, int velocity, int frame) {
    // With audio inputs nothing plays the queue and each block discards it; stay inside the
    // reserved room so the audio thread never allocates for events that have no effect.
    if (!instrumentMode() && fPending.size() >= fPending.capacity()) return;
    fPending.push_back({note, velocity, frame});
}

void Orvex::allNotesOff() {
    for (auto& voice : fVoices) voice->setControl(voice->gateIndex, 0.0f);
    for (const auto& playing : fPlaying)
        if (!contains(fVoicesToRelease, playing.voice)) fVoicesToRelease.push_back(playing.voice);
}

void Orvex::pitchBend(float bend) {
    for (auto& voice : fVoices) voice->setControl(voice->pitchBendIndex, bend);
}

VstInt32 Orvex::getNumMidiInputChannels() { return 1; }
VstInt32 Orvex::getNumMidiOutputChannels() { return 0; }

// ---- instrument path ------------------------------------------------------------------------

void Orvex::processInstrument(float** inputs, float** outputs, int frames) {
    auto shiftRemaining = [&] {
        for (std::size_t i = fPendingHead; i < fPending.size(); ++i) fPending[i].frame -= frames;
    };
    int segmentStart = 0;
    if (pendingCount() == 0 || fPending[fPendingHead].frame >= frames) {
        shiftRemaining();
        render(inputs, outputs, 0, frames);
    } else {
        while (pendingCount() > 0 && fPending[fPendingHead].frame < frames) {
            const PendingNote event = fPending[fPendingHead++];
            fCurrentNote = event.note;
            fCurrentVelocity = event.velocity;
            fCurrentFrame = event.frame;
            if (fCurrentVelocity >= 1)
                noteOn(inputs, outputs, segmentStart);
            else
                noteOff(inputs, outputs, segmentStart);
        }
        shiftRemaining();
        render(inputs, outputs, segmentStart, frames);
    }
    // Drop the applied events from the front; the rest keep their order.
    fPending.erase(fPending.begin(), fPending.begin() + static_cast<std::ptrdiff_t>(fPendingHead));
    fPendingHead = 0;
}

void Orvex::noteOn(float** inputs, float** outputs, int& segmentStart) {
    int v;
    if (!fFreeVoices.empty()) {
        v = fFreeVoices.front();
        fFreeVoices.erase(fFreeVoices.begin());
        fPlaying.push_back({fCurrentNote, v});
    } else {
        // Steal the voice that started first; it glides from its old note.
        PlayingVoice oldest = fPlaying.front();
        v = oldest.voice;
        voice(v).setControl(voice(v).prevFreqIndex, noteFrequency(oldest.note));
        fPlaying.erase(fPlaying.begin());
        fPlaying.push_back({fCurrentNote, v});
    }
    render(inputs, outputs, segmentStart, fCurrentFrame);
    Voice& taken = voice(v);
    taken.setControl(taken.freqIndex, noteFrequency(fCurrentNote));
    taken.setControl(taken.gainIndex, static_cast<float>(fCurrentVelocity) * kVelocityScale);
    taken.setControl(taken.gateIndex, 1.0f);
    segmentStart = std::max(segmentStart, fCurrentFrame);
}

void Orvex::noteOff(float** inputs, float** outputs, int& segmentStart) {
    bool appended = false;
    for (const auto& playing : fPlaying) {
        if (playing.note == fCurrentNote && !contains(fVoicesToRelease, playing.voice)) {
            fVoicesToRelease.push_back(playing.voice);
            appended = true;
        }
    }
    render(inputs, outputs, segmentStart, fCurrentFrame);
    if (appended)
        for (const auto& playing : fPlaying)
            if (playing.note == fCurrentNote) voice(playing.voice).setControl(voice(playing.voice).gateIndex, 0.0f);
    segmentStart = std::max(segmentStart, fCurrentFrame);
}

void Orvex::render(float** inputs, float** outputs, int from, int to) {
    // Events at negative offsets or out of order would give an empty or reversed segment.
    if (to <= from) return;
    for (std::size_t c = 0; c < fSegment.size(); ++c) fSegment[c] = outputs[c] + from;
    renderVoices(inputs, fSegment.data(), to - from);
}

void Orvex::renderVoices(float** inputs, float** outputs, int count) {
    const std::size_t channels = fSegment.size();
    for (std::size_t c = 0; c < channels; ++c) std::fill(outputs[c], outputs[c] + count, 0.0f);

    if (count > fMixingLength) {
        for (std::size_t c = 0; c < channels; ++c) {
            fMixing[c].resize(static_cast<std::size_t>(count));
            fMixingPointers[c] = fMixing[c].data();
        }
        fMixingLength = count;
    }

    fFinished.clear();
    for (const auto& playing : fPlaying) {
        fVoices[static_cast<std::size_t>(playing.voice)]->processor().compute(count, inputs, fMixingPointers.data());
        bool silent = true;
        for (std::size_t c = 0; c < channels; ++c) {
            const float* mixed = fMixingPointers[c];
            float* out = outputs[c];
            for (int i = 0; i < count; ++i) {
                out[i] += mixed[i];
                if (std::fabs(mixed[i]) > kSilence) silent = false;
            }
        }
        auto released = std::find(fVoicesToRelease.begin(), fVoicesToRelease.end(), playing.voice);
        if (silent && released != fVoicesToRelease.end()) {
            fFreeVoices.push_back(playing.voice);
            fVoicesToRelease.erase(released);
            fFinished.push_back(playing);
        }
    }
    for (const auto& finished : fFinished) {
        Voice& done = voice(finished.voice);
        done.setControl(done.prevFreqIndex, noteFrequency(finished.note));
        fPlaying.erase(std::find_if(fPlaying.begin(), fPlaying.end(), [&](const PlayingVoice& p) {
            return p.voice == finished.voice;
        }));
    }

    for (std::size_t c = 0; c < channels; ++c)
        for (int i = 0; i < count; ++i) outputs[c][i] *= kOutputScale;
}

}  // namespace orvex
