// profiles.h: the built-in device profiles.
//
// Each ProfileDef lists the signals typical of one kind of device; at start
// the table is turned into DeviceProfiles of the fingerprint engine, each
// the majority bundle of its signals' encodings. Loaded once before any
// event and never changed afterwards.
#pragma once

#include <span>
#include <string_view>

#include "engine/concept_vector.h"
#include "engine/fingerprint.h"

namespace tarvex {

struct Signal {
    std::string_view value;
    SignalType type;
};

struct ProfileDef {
    std::string_view name;
    std::string_view manufacturer;
    std::span<const Signal> signals;
    DeviceCategory category;
};

// At most this many signals of a definition are bundled.
constexpr size_t kMaxProfileSignals = 16;

// The built-in definitions, in table order.
std::span<const ProfileDef> builtinProfileDefs();

// The majority bundle of the encodings of the first 16 signals (zero vector
// for none, the single encoding for one).
ConceptVector buildVector(std::span<const Signal> signals);

// Adds every definition of `defs` to the engine, skipping those that do not
// fit (logged), logs the total and returns the number added.
u32 loadProfiles(FingerprintEngine& engine, std::span<const ProfileDef> defs);

// loadProfiles of the built-in table.
u32 loadBuiltinProfiles(FingerprintEngine& engine);

}  // namespace tarvex
