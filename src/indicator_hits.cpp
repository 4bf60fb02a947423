// indicator_hits.cpp: matching events against the threat indicators, and
// the alert a match raises.
#include <cstring>

#include "common/format.h"
#include "common/log.h"
#include "common/mac.h"
#include "intel/indicator_index.h"
#include "pipeline.h"

namespace tarvex {

namespace {

u64 memoKey(const IndicatorEntry& e, std::string_view device) {
    u64 h = 14695981039346656037ull;
    auto add = [&h](std::string_view s) {
        for (char c : s) h = (h ^ static_cast<u8>(c)) * 1099511628211ull;
        h = (h ^ 0xFF) * 1099511628211ull;
    };
    h = (h ^ static_cast<u8>(e.indicator_type)) * 1099511628211ull;
    add(e.getValue());
    add(device);
    return h | 1;  // never 0, the empty mark
}

constexpr u32 kMemoProbe = 8;

}  // namespace

void Pipeline::matchIndicatorAddress(std::string_view address, const IndicatorSighting& s) {
    const IndicatorIndex* index = state->indicators;
    if (!index || index->empty() || address.empty()) return;
    if (const IndicatorEntry* e = index->matchAddress(address, now())) {
        IndicatorSighting with = s;
        with.matched = address;
        noteIndicatorHit(*e, with);
    }
}

void Pipeline::matchIndicatorDomain(std::string_view name, const IndicatorSighting& s) {
    const IndicatorIndex* index = state->indicators;
    if (!index || index->empty() || name.empty()) return;
    if (const IndicatorEntry* e = index->matchDomain(name, now())) {
        IndicatorSighting with = s;
        with.matched = name;
        noteIndicatorHit(*e, with);
    }
}

void Pipeline::matchIndicatorUrl(std::string_view url, const IndicatorSighting& s) {
    const IndicatorIndex* index = state->indicators;
    if (!index || index->empty() || url.empty()) return;
    if (const IndicatorEntry* e = index->matchUrl(url, now())) {
        IndicatorSighting with = s;
        with.matched = url;
        noteIndicatorHit(*e, with);
    }
}

void Pipeline::matchIndicatorHash(std::string_view hash, const IndicatorSighting& s) {
    const IndicatorIndex* index = state->indicators;
    if (!index || index->empty() || hash.empty()) return;
    if (const IndicatorEntry* e = index->matchHash(hash, now())) {
        IndicatorSighting with = s;
        with.matched = hash;
        noteIndicatorHit(*e, with);
    }
}

void Pipeline::noteIndicatorHit(const IndicatorEntry& e, const IndicatorSighting& sighting) {
    const i64 t = now();
    state->indicators->countHit(e, t);
    // A device with a MAC is named by it (formatted only now, on a hit).
    IndicatorSighting s = sighting;
    MacText mac_text{};
    if (s.mac) {
        mac_text = macToString(s.mac);
        s.device = mac_text.view();
    }

    // Once per indicator and device an hour: the pair's memo is found among
    // kMemoProbe slots from its hash; a new pair takes an empty or the
    // oldest of them.
    const u64 key = memoKey(e, s.device);
    IndicatorAlertMemo* mine = nullptr;
    IndicatorAlertMemo* empty = nullptr;
    IndicatorAlertMemo* oldest = nullptr;
    for (u32 k = 0; k < kMemoProbe; ++k) {
        IndicatorAlertMemo& m = indicator_memo[(key + k) % kIndicatorAlertMemo];
        if (m.key == key) {
            mine = &m;
            break;
        }
        if (m.key == 0) {
            if (!empty) empty = &m;
        } else if (!oldest || m.at < oldest->at) {
            oldest = &m;
        }
    }
    if (mine && t - mine->at < kIndicatorAlertWindow) return;
    if (!mine) mine = empty ? empty : oldest;
    mine->key = key;
    mine->at = t;

    const std::string_view type = indicatorTypeName(e.indicator_type);
    FixedText<128> title;
    formatInto(title, "Threat indicator seen: {} ({})", e.getValue(), type);
    FixedText<512> description;
    formatInto(description, "{} was seen with {}, listed as a {} indicator by {}.", s.device,
               s.matched, type, e.getSource());
    FixedText<2048> evidence;
    formatInto(evidence, "Indicator: {}\nType: {}\nSeverity: {}\nSource feed: {}\n", e.getValue(),
               type, indicatorSeverityName(e.severity), e.getSource());
    if (e.expiry != 0) formatInto(evidence, "Expires: {}\n", e.expiry);
    formatInto(evidence, "Matched: {}\nDevice: {}\nEvent: {}\n", s.matched, s.device,
               current_event);

    u8 mac[6] = {};
    if (s.mac) std::memcpy(mac, s.mac, 6);
    const auto severity = static_cast<AlertSeverity>(static_cast<u8>(e.severity));
    u32 id = state->alerts->createAlert(title.view(), description.view(), severity, 0.0f, mac, 0);
    std::optional<u32> seed = s.seed;
    if (!seed && !s.seed_address.empty()) {
        if (const Node* n = state->graph->findNode(s.seed_address, NodeType::ip_address))
            seed = n->id;
    }
    if (seed) spread(*state->graph, *state->act, *seed);
    if (id == 0) return;
    if (Alert* a = state->alerts->getAlert(id)) {
        a->setEvidence(evidence.view());
        a->setSourceIp(s.source_ip);
        a->setDestIp(s.dest_ip);
    }
    announceAlert(id, true);
}

}  // namespace tarvex
