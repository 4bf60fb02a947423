// frameworks.cpp: the control catalogue, technique matching and both reports.
#include "compliance/frameworks.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <limits>

#include "common/number.h"
#include "rules/engine.h"

namespace tarvex {

namespace {

template <size_t N, class L>
constexpr void fillText(char (&dst)[N], L& len, std::string_view src) {
    if (src.size() > N || src.size() > std::numeric_limits<L>::max())
        throw "catalogue text longer than its field";
    for (size_t i = 0; i < src.size(); ++i) dst[i] = src[i];
    len = static_cast<L>(src.size());
}

constexpr ComplianceControl makeControl(ComplianceFramework f, std::string_view id,
                                        std::string_view name, std::string_view description,
                                        std::initializer_list<std::string_view> techniques) {
    ComplianceControl c{};
    c.framework = f;
    fillText(c.control_id, c.control_id_len, id);
    fillText(c.name, c.name_len, name);
    fillText(c.description, c.description_len, description);
    if (techniques.size() > kMaxControlTechniques) throw "too many techniques";
    u8 k = 0;
    for (std::string_view t : techniques) {
        if (t.empty() || t.size() > kControlTechniqueBytes) throw "bad technique id";
        for (size_t i = 0; i < t.size(); ++i) c.mitre_techniques[k][i] = t[i];
        ++k;
    }
    c.technique_count = k;
    return c;
}

}  // namespace

constexpr ComplianceControl CONTROLS[kControlCount] = {
    makeControl(ComplianceFramework::pci_dss_4, "PCI-1.3.1",
                "Restrict inbound and outbound traffic to that which is necessary",
                "Network access controls must restrict traffic to only what is required for the "
                "cardholder data environment.",
                {"T1046", "T1595", "T1590"}),
    makeControl(
        ComplianceFramework::pci_dss_4, "PCI-1.3.2", "Restrict inbound internet traffic to the CDE",
        "All inbound internet traffic to the CDE must pass through defined security controls.",
        {"T1190", "T1133", "T1659"}),
    makeControl(
        ComplianceFramework::pci_dss_4, "PCI-6.4.1",
        "Protect web-facing applications against known attacks",
        "Web-facing applications must be protected by a WAF or automated technical solution.",
        {"T1190", "T1059", "T1203"}),
    makeControl(ComplianceFramework::pci_dss_4, "PCI-10.2.1",
                "Log all individual user access to cardholder data",
                "Audit logs must capture all access to cardholder data by individual users.",
                {"T1078", "T1530", "T1213"}),
    makeControl(
        ComplianceFramework::pci_dss_4, "PCI-10.6.1", "Retain audit logs for at least 12 months",
        "Audit logs must be retained for at least 12 months with 3 months immediately available.",
        {"T1070", "T1070.001", "T1485"}),
    makeControl(ComplianceFramework::pci_dss_4, "PCI-11.5.1",
                "Deploy intrusion-detection and intrusion-prevention techniques",
                "IDS/IPS must be used to detect and prevent network intrusions.",
                {"T1046", "T1595", "T1040", "T1557"}),
    makeControl(ComplianceFramework::nist_800_53, "AC-2", "Account Management",
                "Manage system accounts, group memberships, privileges, workflow, notifications, "
                "deactivations, and authorizations.",
                {"T1078", "T1136", "T1098"}),
    makeControl(ComplianceFramework::nist_800_53, "AU-6",
                "Audit Record Review, Analysis, and Reporting",
                "Review and analyze system audit records for indications of inappropriate activity "
                "and report findings.",
                {"T1070", "T1562", "T1489"}),
    makeControl(ComplianceFramework::nist_800_53, "SI-4", "System Monitoring",
                "Monitor the system to detect attacks and indicators of potential attacks.",
                {"T1046", "T1595", "T1040", "T1110"}),
    makeControl(ComplianceFramework::nist_800_53, "IR-4", "Incident Handling",
                "Implement an incident-handling capability including preparation, detection, "
                "containment, eradication, and recovery.",
                {"T1486", "T1490", "T1489"}),
    makeControl(ComplianceFramework::nist_800_53, "CA-7", "Continuous Monitoring",
                "Develop and implement a continuous monitoring strategy and program.",
                {"T1046", "T1595", "T1040", "T1557", "T1110"}),
    makeControl(
        ComplianceFramework::nist_800_53, "SC-7", "Boundary Protection",
        "Monitor and control communications at external boundaries and key internal boundaries.",
        {"T1046", "T1190", "T1133", "T1659"}),
    makeControl(ComplianceFramework::soc2, "CC6.1",
                "Logical and Physical Access Controls — Logical Access Security",
                "The entity implements logical access security software, infrastructure, and "
                "architectures over protected information assets.",
                {"T1078", "T1110", "T1556"}),
    makeControl(ComplianceFramework::soc2, "CC6.8",
                "Logical and Physical Access Controls — Prevent Unauthorized Access",
                "The entity implements controls to prevent or detect and act upon the introduction "
                "of unauthorized or malicious software.",
                {"T1059", "T1055", "T1203", "T1566"}),
    makeControl(ComplianceFramework::soc2, "CC7.1", "System Operations — Detect Anomalies",
                "The entity detects and monitors for anomalies and evaluates anomalies to "
                "determine whether they represent security events.",
                {"T1046", "T1595", "T1040", "T1110", "T1078"}),
    makeControl(ComplianceFramework::soc2, "CC7.2", "System Operations — Monitor System Components",
                "The entity monitors system components and the operation of those components for "
                "anomalies that are indicative of malicious acts.",
                {"T1562", "T1070", "T1489"}),
    makeControl(ComplianceFramework::soc2, "CC7.3", "System Operations — Evaluate Security Events",
                "The entity evaluates security events to determine whether they could or have "
                "resulted in a failure of security commitments.",
                {"T1486", "T1490", "T1489", "T1498"}),
    makeControl(ComplianceFramework::soc2, "CC7.4",
                "System Operations — Respond to Security Incidents",
                "The entity responds to identified security incidents by executing a defined "
                "incident-response program.",
                {"T1486", "T1490", "T1565"}),
    makeControl(ComplianceFramework::hipaa, "164.312(b)", "Audit Controls",
                "Implement hardware, software, and procedural mechanisms to record and examine "
                "access to ePHI.",
                {"T1078", "T1530", "T1213"}),
    makeControl(ComplianceFramework::hipaa, "164.312(c)", "Integrity Controls",
                "Implement policies and procedures to protect ePHI from improper alteration or "
                "destruction.",
                {"T1485", "T1565", "T1070.001"}),
    makeControl(ComplianceFramework::hipaa, "164.308(a)(5)", "Security Awareness and Training",
                "Implement security awareness and training program for all workforce members.",
                {"T1566", "T1059", "T1204"}),
    makeControl(ComplianceFramework::hipaa, "164.308(a)(6)", "Security Incident Procedures",
                "Implement policies and procedures to address security incidents including "
                "identification, response, and documentation.",
                {"T1486", "T1490", "T1489"}),
    makeControl(ComplianceFramework::hipaa, "164.312(a)(1)", "Access Control",
                "Implement policies and procedures to allow only authorized persons or programs "
                "access to ePHI.",
                {"T1078", "T1110", "T1556", "T1136"}),
    makeControl(ComplianceFramework::iso_27001, "A.9.4.2", "Secure Log-on Procedures",
                "Where required by access control policy, access to systems must be controlled by "
                "a secure log-on procedure.",
                {"T1078", "T1110", "T1556"}),
    makeControl(ComplianceFramework::iso_27001, "A.12.4.1", "Event Logging",
                "Event logs recording user activities, exceptions, faults, and information "
                "security events must be produced and kept.",
                {"T1070", "T1562", "T1489"}),
    makeControl(ComplianceFramework::iso_27001, "A.12.6.1",
                "Management of Technical Vulnerabilities",
                "Information about technical vulnerabilities of systems must be obtained and the "
                "organisation's exposure evaluated.",
                {"T1046", "T1595", "T1190"}),
    makeControl(ComplianceFramework::iso_27001, "A.13.1.1", "Network Controls",
                "Networks must be managed and controlled to protect information in systems and "
                "applications.",
                {"T1046", "T1190", "T1133", "T1557"}),
    makeControl(ComplianceFramework::iso_27001, "A.16.1.2", "Reporting Information Security Events",
                "Information security events must be reported through appropriate management "
                "channels as quickly as possible.",
                {"T1486", "T1490", "T1498"}),
    makeControl(ComplianceFramework::iso_27001, "A.16.1.4",
                "Assessment of and Decision on Information Security Events",
                "Information security events must be assessed and it must be decided if they are "
                "to be classified as incidents.",
                {"T1486", "T1565", "T1498", "T1489"}),
};

namespace {

constexpr u32 controlsOf(ComplianceFramework f) {
    u32 n = 0;
    for (const auto& c : CONTROLS) n += c.framework == f ? 1 : 0;
    return n;
}

constexpr bool catalogueFitsReports() {
    for (u8 f = 0; f <= static_cast<u8>(ComplianceFramework::iso_27001); ++f)
        if (controlsOf(static_cast<ComplianceFramework>(f)) > kMaxFrameworkControls) return false;
    return true;
}
static_assert(catalogueFitsReports(), "a framework has more controls than the reports hold");

constexpr std::string_view kFrameworkNames[] = {"PCI DSS 4.0", "NIST SP 800-53", "SOC 2", "HIPAA",
                                                "ISO/IEC 27001"};
constexpr std::string_view kSeverityNames[] = {"info", "low", "medium", "high", "critical"};
// Techniques of network scanning and sniffing, which collision alerts evidence.
constexpr std::string_view kScanTechniques[] = {"T1046", "T1040", "T1595"};

// A signed decimal in the shared number syntax: an optional '-' before an
// unsigned decimal.
std::optional<i64> parseSignedSeconds(std::string_view text) {
    constexpr u64 kMax = static_cast<u64>(std::numeric_limits<i64>::max());
    if (!text.empty() && text[0] == '-') {
        std::string_view rest = text.substr(1);
        if (rest.empty() || rest[0] == '+' || rest[0] == '-') return std::nullopt;
        Result<u64> r = parseUnsignedDecimal(rest, kMax + 1);
        if (!r) return std::nullopt;
        if (r.value == kMax + 1) return std::numeric_limits<i64>::min();
        return -static_cast<i64>(r.value);
    }
    Result<u64> r = parseUnsignedDecimal(text, kMax);
    if (!r) return std::nullopt;
    return static_cast<i64>(r.value);
}

}  // namespace

std::string_view frameworkName(ComplianceFramework f) {
    auto i = static_cast<size_t>(f);
    return i < std::size(kFrameworkNames) ? kFrameworkNames[i] : std::string_view{};
}

std::optional<ComplianceFramework> parseFramework(std::string_view text) {
    if (text == "pci-dss-4" || text == "pci_dss_4") return ComplianceFramework::pci_dss_4;
    if (text == "nist-800-53" || text == "nist_800_53") return ComplianceFramework::nist_800_53;
    if (text == "soc2") return ComplianceFramework::soc2;
    if (text == "hipaa") return ComplianceFramework::hipaa;
    if (text == "iso-27001" || text == "iso_27001") return ComplianceFramework::iso_27001;
    return std::nullopt;
}

std::string_view ComplianceControl::getTechnique(u32 i) const {
    if (i >= technique_count || i >= kMaxControlTechniques) return {};
    const char* t = mitre_techniques[i];
    const void* zero = std::memchr(t, 0, kControlTechniqueBytes);
    size_t n =
        zero ? static_cast<size_t>(static_cast<const char*>(zero) - t) : kControlTechniqueBytes;
    return {t, n};
}

bool ComplianceControl::listsTechnique(std::string_view id) const {
    for (u32 i = 0; i < technique_count; ++i)
        if (getTechnique(i) == id) return true;
    return false;
}

ControlList controlsForFramework(ComplianceFramework f) {
    ControlList list{};
    for (const auto& c : CONTROLS)
        if (c.framework == f && list.count < kMaxFrameworkControls) list.items[list.count++] = &c;
    return list;
}

std::string_view alertSeverityText(u8 severity) {
    return severity < std::size(kSeverityNames) ? kSeverityNames[severity] : kSeverityNames[0];
}

bool alertMentionsControl(const ComplianceControl& c, const ComplianceAlert& a) {
    for (u32 i = 0; i < c.technique_count; ++i) {
        std::string_view t = c.getTechnique(i);
        if (t.empty()) continue;
        if (contains(a.title, t) || contains(a.evidence, t)) return true;
    }
    return false;
}

bool alertIsEvidenceFor(const ComplianceControl& c, const ComplianceAlert& a) {
    if (alertMentionsControl(c, a)) return true;
    if (a.collision_wave_count == 0) return false;
    for (std::string_view t : kScanTechniques)
        if (c.listsTechnique(t)) return true;
    return false;
}

bool techniqueCovered(const RuleEngine& rules, std::string_view id) {
    for (std::string_view t : kBuiltinTechniques)
        if (t == id) return true;
    for (const auto& r : rules.rules) {
        if (!r.active || !r.enabled) continue;
        for (u32 i = 0; i < r.mitre_count && i < kMaxRuleTechniques; ++i)
            if (r.getTechnique(i) == id) return true;
    }
    return false;
}

void CoverageReport::begin(ComplianceFramework f, const RuleEngine& rules) {
    framework = f;
    ControlList list = controlsForFramework(f);
    control_count = list.count;
    covered_count = 0;
    for (u32 k = 0; k < list.count; ++k) {
        const ComplianceControl& c = *list.items[k];
        bool covered = false;
        for (u32 i = 0; i < c.technique_count && !covered; ++i)
            covered = techniqueCovered(rules, c.getTechnique(i));
        controls[k] = {&c, covered, 0};
        covered_count += covered ? 1 : 0;
    }
}

void CoverageReport::countAlert(const ComplianceAlert& a) {
    for (u32 k = 0; k < control_count; ++k)
        if (alertMentionsControl(*controls[k].control, a)) ++controls[k].alert_count;
}

CoverageReport computeCoverage(ComplianceFramework f, const RuleEngine& rules,
                               std::span<const ComplianceAlert> alerts) {
    CoverageReport r;
    r.begin(f, rules);
    for (const auto& a : alerts) r.countAlert(a);
    return r;
}

EvidenceWindow parseEvidenceWindow(std::optional<std::string_view> from,
                                   std::optional<std::string_view> to) {
    EvidenceWindow w{0, std::numeric_limits<i64>::max()};
    if (from)
        if (auto v = parseSignedSeconds(*from)) w.from = *v;
    if (to)
        if (auto v = parseSignedSeconds(*to)) w.to = *v;
    return w;
}

void EvidenceReport::begin(ComplianceFramework f, EvidenceWindow w) {
    framework = f;
    window = w;
    ControlList list = controlsForFramework(f);
    control_count = list.count;
    for (u32 k = 0; k < list.count; ++k) {
        controls[k].control = list.items[k];
        controls[k].count = 0;
    }
}

void EvidenceReport::addAlert(const ComplianceAlert& a) {
    if (a.created_at < window.from || a.created_at > window.to) return;
    for (u32 k = 0; k < control_count; ++k) {
        ControlEvidence& ce = controls[k];
        if (ce.count >= kMaxEvidencePerControl) continue;
        if (!alertIsEvidenceFor(*ce.control, a)) continue;
        EvidenceEntry& e = ce.entries[ce.count++];
        e.created_at = a.created_at;
        e.alert_id = a.id;
        e.severity = a.severity;
        copyBounded(e.title, e.title_len, a.title);
        copyBounded(e.description, e.description_len, a.description);
    }
}

}  // namespace tarvex
