#pragma once
// Mapping between the values a user types ("Lowpass Filter=12000", "Disable KVLN EQ=on") and the
// normalised 0..1 values of the VST 2 parameter interface.
//
// The interface tells a host only a parameter's name, unit label, normalised value and display
// text. Ranges and values are therefore learnt by asking the plug-in: display 0.0 and 1.0 for the
// range, and search the normalised value whose display shows the wanted number. Probing changes
// the parameter, so it is done on a scratch instance, never on the one that renders.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvex::tools {

// What the mapping needs from a plug-in instance.
class ParameterAccess {
public:
    virtual ~ParameterAccess() = default;
    virtual int count() = 0;
    virtual std::string name(int index) = 0;
    virtual std::string label(int index) = 0;
    virtual std::string display(int index) = 0;
    virtual float get(int index) = 0;
    virtual void set(int index, float normalised) = 0;
};

// A request that cannot be met; the message names the valid choices.
class ParameterError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ParameterInfo {
    enum class Kind {
        Numeric,  // display 0.0 and 1.0 both show numbers
        Choice,   // texts such as OFF/ON; `choices` lists them in normalised order
    };
    int index = 0;
    std::string name;
    std::string label;
    Kind kind = Kind::Numeric;
    double low = 0.0, high = 0.0;   // the numbers shown at 0.0 and 1.0 (Numeric)
    std::string lowText, highText;  // the texts shown at 0.0 and 1.0
    int decimals = 0;               // decimals the display shows (Numeric)
    std::vector<std::string> choices;
    std::vector<float> choiceValues;  // a normalised value that shows each choice
    float defaultValue = 0.0f;        // normalised value of a fresh instance
    std::string defaultText;          // its display text

    bool isSwitch() const;  // a two-way choice of on/off kind
    std::string rangeText() const;
};

// Reads every parameter of a fresh instance: name, label, default, range (by probing). Leaves
// the probed parameters changed.
std::vector<ParameterInfo> describeParameters(ParameterAccess& access);

// The number at the start of a display text ("12000", "-6.0", "3.5 dB"); none when it does not
// begin with one.
std::optional<double> leadingNumber(const std::string& text);

// The parameter a user means by KEY: its exact name, its name in any case, or its index. Throws
// ParameterError naming the choices.
const ParameterInfo& findParameter(const std::vector<ParameterInfo>& params, const std::string& key);

struct Assignment {
    int index = 0;
    float normalised = 0.0f;
    std::string display;  // what the plug-in shows for it
    bool exact = true;    // false when the display could not show the wanted value exactly
};

// "NAME=VALUE" or "INDEX=VALUE", VALUE in the control's own units.
Assignment resolvePlain(ParameterAccess& probe, const std::vector<ParameterInfo>& params,
                        const std::string& request);
// "INDEX=X" with X in 0..1 (a name is accepted too).
Assignment resolveNormalised(ParameterAccess& probe, const std::vector<ParameterInfo>& params,
                             const std::string& request);

// The table printed by --list-params.
std::string formatParameterTable(const std::vector<ParameterInfo>& params);

}  // namespace orvex::tools
