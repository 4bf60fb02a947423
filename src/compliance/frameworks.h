// frameworks.h: the compliance catalogue and its coverage and evidence reports.
//
// The catalogue is a constant table of 29 controls from five frameworks,
// each tied to MITRE ATT&CK technique ids. Two reports relate it to the
// system: the coverage summary (which controls the detection capabilities
// address, and how many alerts mention each control's techniques) and the
// evidence report (which alerts within a time window serve as evidence for
// each control). Nothing is stored; reports are computed per request.
//
// Alerts reach the reports through ComplianceAlert, a read-only view the
// caller fills from the alert table while holding the engine state lock
// shared. The reports copy what they keep, so the lock can be released
// before the API writes their bodies.
//
// Thread-safety: the catalogue is constant; a report belongs to the request
// that builds it.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "common/text.h"
#include "common/types.h"

namespace tarvex {

struct RuleEngine;

enum class ComplianceFramework : u8 {
    pci_dss_4 = 0,
    nist_800_53 = 1,
    soc2 = 2,
    hipaa = 3,
    iso_27001 = 4,
};

// Display name: "PCI DSS 4.0", "NIST SP 800-53", "SOC 2", "HIPAA", "ISO/IEC 27001".
std::string_view frameworkName(ComplianceFramework f);

// "pci-dss-4"/"pci_dss_4", "nist-800-53"/"nist_800_53", "soc2", "hipaa",
// "iso-27001"/"iso_27001" (exact bytes); anything else gives nothing.
std::optional<ComplianceFramework> parseFramework(std::string_view text);

constexpr u32 kMaxControlTechniques = 8;
constexpr u32 kControlTechniqueBytes = 12;

struct ComplianceControl {
    ComplianceFramework framework;
    char control_id[16];
    u8 control_id_len;
    char name[128];
    u8 name_len;
    char description[256];
    u8 description_len;
    // ATT&CK ids, each zero-padded; a 12-byte id has no terminator.
    char mitre_techniques[kMaxControlTechniques][kControlTechniqueBytes];
    u8 technique_count;

    std::string_view getControlId() const { return view(control_id, control_id_len); }
    std::string_view getName() const { return view(name, name_len); }
    std::string_view getDescription() const { return view(description, description_len); }
    // Entry i up to its first zero byte; empty when i >= technique_count.
    std::string_view getTechnique(u32 i) const;
    // True when one of the control's ids equals `id` exactly.
    bool listsTechnique(std::string_view id) const;
};

constexpr u32 kControlCount = 29;
// The catalogue, grouped by framework, in its published order.
extern const ComplianceControl CONTROLS[kControlCount];

// The techniques the behavioural engines detect on their own, in order.
inline constexpr std::string_view kBuiltinTechniques[] = {
    "T1071", "T1071.004", "T1048", "T1568", "T1046", "T1595",
    "T1040", "T1557",     "T1078", "T1021", "T1570",
};

// The largest number of controls any framework has in the catalogue.
constexpr u32 kMaxFrameworkControls = 6;

struct ControlList {
    const ComplianceControl* items[kMaxFrameworkControls];
    u32 count;
};

// The controls of one framework in catalogue order.
ControlList controlsForFramework(ComplianceFramework f);

// What the reports need of one alert. The views point into the alert table
// and are valid while the caller holds the state lock.
struct ComplianceAlert {
    i64 created_at;
    u32 id;
    u32 collision_wave_count;  // 0 unless raised by collision detection
    u8 severity;               // AlertSeverity value: info 0 .. critical 4
    std::string_view title;
    std::string_view description;
    std::string_view evidence;
};

// "info", "low", "medium", "high", "critical"; "info" outside that range.
std::string_view alertSeverityText(u8 severity);

// True when one of the control's technique ids occurs in the alert's title
// or evidence text (substring match: T1046.001 mentions T1046).
bool alertMentionsControl(const ComplianceControl& c, const ComplianceAlert& a);

// True when the alert is evidence for the control: it mentions one of the
// control's techniques, or it came from collision detection and the control
// lists a network-scanning technique (T1046, T1040 or T1595).
bool alertIsEvidenceFor(const ComplianceControl& c, const ComplianceAlert& a);

// True when the technique is detected: it is an ATT&CK id of an active,
// enabled rule, or one of the built-in techniques.
bool techniqueCovered(const RuleEngine& rules, std::string_view id);

struct ControlCoverage {
    const ComplianceControl* control;
    bool covered;
    u32 alert_count;
};

// Coverage summary of one framework.
struct CoverageReport {
    ComplianceFramework framework;
    u32 control_count;
    u32 covered_count;
    ControlCoverage controls[kMaxFrameworkControls];

    // Marks which controls are covered; alert counts start at zero.
    void begin(ComplianceFramework f, const RuleEngine& rules);
    // Counts one active alert for every control it mentions.
    void countAlert(const ComplianceAlert& a);
};

// The summary over `alerts` (the active alerts, in any order).
CoverageReport computeCoverage(ComplianceFramework f, const RuleEngine& rules,
                               std::span<const ComplianceAlert> alerts);

constexpr u32 kMaxEvidencePerControl = 50;

// One evidence entry, copied out of the alert table.
struct EvidenceEntry {
    i64 created_at;
    u32 alert_id;
    u8 severity;
    u8 title_len;
    u16 description_len;
    char title[128];
    char description[512];

    std::string_view getTitle() const { return view(title, title_len); }
    std::string_view getDescription() const { return view(description, description_len); }
};

struct ControlEvidence {
    const ComplianceControl* control;
    u32 count;
    EvidenceEntry entries[kMaxEvidencePerControl];
};

// The evidence window: Unix seconds, both ends included.
struct EvidenceWindow {
    i64 from;
    i64 to;
};

// "from" and "to" as signed decimal Unix seconds; an absent or unreadable
// bound is 0 and the largest 64-bit value respectively.
EvidenceWindow parseEvidenceWindow(std::optional<std::string_view> from,
                                   std::optional<std::string_view> to);

// Evidence report of one framework. About 200 KiB: give it request memory
// rather than a stack slot.
struct EvidenceReport {
    ComplianceFramework framework;
    EvidenceWindow window;
    u32 control_count;
    ControlEvidence controls[kMaxFrameworkControls];

    // Empties the report for that framework and window.
    void begin(ComplianceFramework f, EvidenceWindow w);
    // Offers one active alert; feed alerts in slot order. The alert is taken
    // for each control it is evidence for, inside the window, until that
    // control holds 50 entries.
    void addAlert(const ComplianceAlert& a);
};

}  // namespace tarvex
