#include "SimProfile.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "common/Errors.h"

namespace klink::sim {
namespace {

using nlohmann::json;

SimTarget Variable(uint8_t id, uint8_t inst, uint8_t page, uint8_t features, uint32_t defaultHz) {
    SimTarget t;
    t.capability = {id, inst, page, static_cast<uint8_t>(features | kFeatureSetClock), ClockMode::kVariable,
                    0};
    t.defaultHz = defaultHz;
    return t;
}

SimTarget Fixed(uint8_t id, uint8_t inst, uint8_t page, uint8_t features, uint32_t hz) {
    SimTarget t;
    t.capability = {id, inst, page, features, ClockMode::kFixed, hz};
    t.defaultHz = hz;
    return t;
}

constexpr uint8_t kBurst = kFeatureBurst;

SimProfile KL2(std::string model, std::string firmware) {
    SimProfile p;
    p.model = std::move(model);
    p.firmware = std::move(firmware);
    p.controlFeatures = kControlAttenuation | kControlKL2DAC;
    p.clockSharing = SimClockSharing::kKL2;
    p.receive.fencedStartup = true;
    // CLK0 drives the YM2612 and the second SN76489, CLK1 the first SN76489.
    p.targets = {Variable(0x52, 0, 0, kBurst, 7670453), Variable(0x53, 0, 1, kBurst, 7670453),
                 Variable(0x50, 0, 0, kBurst, 3579545), Variable(0x30, 1, 0, kBurst, 7670453)};
    BuildPages(p);
    return p;
}

SimProfile KL3() {
    SimProfile p;
    p.model = "Keltra 3";
    p.firmware = "2.4 (klinksim)";
    p.controlFeatures = kControlAttenuation;
    p.clockSharing = SimClockSharing::kKL3;
    p.targets = {
        Fixed(0x51, 0, 0, kBurst, 3579545),      // YM2413
        Fixed(0x54, 0, 0, kBurst, 3579545),      // YM2151
        Variable(0x55, 0, 0, kBurst, 4000000),   // YM2203 (OPN chip)
        Variable(0xA0, 0, 0, kBurst, 2000000),   // AY8910 on an OPN chip
        Variable(0xA0, 1, 0, kBurst, 2000000),   //
        Variable(0x5A, 0, 0, kBurst, 3579545),   // YM3812 (OPL chip)
        Variable(0x5A, 1, 0, kBurst, 3579545),   //
        Variable(0x5B, 0, 0, kBurst, 3579545),   // YM3526
        Variable(0x5E, 0, 0, kBurst, 14318180),  // YMF262 port 0
        Variable(0x5F, 0, 1, kBurst, 14318180),  // YMF262 port 1
    };
    BuildPages(p);
    return p;
}

SimProfile KL4() {
    SimProfile p;
    p.model = "Keltra 4";
    p.firmware = "1.6 (klinksim)";
    p.controlFeatures = kControlAttenuation;
    p.dataCapacity = 65536;
    p.eventCapacity = 4096;
    p.targets = {Variable(0x54, 0, 0, kBurst | kFeatureStreamEvents, 4000000),
                 Variable(0xB7, 0, 0, kFeatureADPCMStream, 8000000)};
    BuildPages(p);
    return p;
}

[[noreturn]] void Fail(const std::string& origin, const std::string& what) {
    throw ReadError("Simulator profile " + origin + ": " + what);
}

uint64_t Number(const json& v, const std::string& origin, const std::string& key, uint64_t max) {
    uint64_t n = 0;
    if (v.is_number_unsigned()) {
        n = v.get<uint64_t>();
    } else if (v.is_number_integer() && v.get<int64_t>() >= 0) {
        n = static_cast<uint64_t>(v.get<int64_t>());
    } else if (v.is_string()) {
        const std::string s = v.get<std::string>();
        try {
            size_t used = 0;
            n = std::stoull(s, &used, 0);
            if (used != s.size()) Fail(origin, "\"" + key + "\" is not a number.");
        } catch (const std::logic_error&) {
            Fail(origin, "\"" + key + "\" is not a number.");
        }
    } else {
        Fail(origin, "\"" + key + "\" is not a number.");
    }
    if (n > max) Fail(origin, "\"" + key + "\" is out of range.");
    return n;
}

template <typename T>
void Take(const json& obj, const char* key, T& out, const std::string& origin) {
    if (obj.contains(key)) {
        out = static_cast<T>(Number(obj.at(key), origin, key, std::numeric_limits<T>::max()));
    }
}

ClockMode ClockModeOf(const json& v, const std::string& origin) {
    if (v.is_string()) {
        const std::string s = v.get<std::string>();
        if (s == "unknown") return ClockMode::kUnknown;
        if (s == "fixed") return ClockMode::kFixed;
        if (s == "variable") return ClockMode::kVariable;
    }
    return static_cast<ClockMode>(Number(v, origin, "clock_mode", 0xFF));
}

SimTarget TargetOf(const json& e, const std::string& origin) {
    if (!e.is_object()) Fail(origin, "a target is not an object.");
    SimTarget t;
    KLINKCapability& c = t.capability;
    Take(e, "write_id", c.writeId, origin);
    Take(e, "instance", c.instance, origin);
    Take(e, "page", c.page, origin);
    Take(e, "features", c.features, origin);
    if (e.contains("clock_mode")) c.clockMode = ClockModeOf(e.at("clock_mode"), origin);
    Take(e, "clock_hz", c.fixedClockHz, origin);
    t.defaultHz = c.clockMode == ClockMode::kFixed ? c.fixedClockHz : 0;
    Take(e, "default_hz", t.defaultHz, origin);
    return t;
}

std::vector<uint8_t> HexBytes(const std::string& hex, const std::string& origin) {
    std::string digits;
    for (char ch : hex) {
        if (std::isxdigit(static_cast<unsigned char>(ch))) {
            digits.push_back(ch);
        } else if (!std::isspace(static_cast<unsigned char>(ch))) {
            Fail(origin, "\"raw\" holds a character that is not a hexadecimal digit.");
        }
    }
    if (digits.size() % 2 != 0) Fail(origin, "\"raw\" holds an odd number of hexadecimal digits.");
    std::vector<uint8_t> out;
    for (size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

}  // namespace

const SimTarget* SimProfile::Find(uint8_t writeId, uint8_t instance, uint8_t page) const noexcept {
    for (const SimTarget& t : targets) {
        const KLINKCapability& c = t.capability;
        if (c.writeId == writeId && c.instance == instance && c.page == page) return &t;
    }
    return nullptr;
}

bool SimProfile::HasADPCMStream() const noexcept {
    const SimTarget* oki = Find(0xB7, 0, 0);
    return oki != nullptr && (oki->capability.features & kFeatureADPCMStream) != 0;
}

std::vector<std::string> BuiltInModels() { return {"Keltra 2", "Keltra 2.1", "Keltra 3", "Keltra 4"}; }

std::optional<SimProfile> BuiltInProfile(std::string_view model) {
    if (model == "Keltra 2") return KL2("Keltra 2", "3.1dev9 (klinksim)");
    if (model == "Keltra 2.1") return KL2("Keltra 2.1", "3.2 (klinksim)");
    if (model == "Keltra 3") return KL3();
    if (model == "Keltra 4") return KL4();
    return std::nullopt;
}

void BuildPages(SimProfile& profile) {
    profile.pages.clear();
    const size_t n = profile.targets.size();
    // Two pages at least, so that every host walks the page chain.
    size_t perPage = std::max<size_t>(1, (n + 1) / 2);
    perPage = std::min<size_t>(perPage, kMaxCapabilityEntries);
    size_t first = 0;
    do {
        SimPage page;
        page.offset = static_cast<uint16_t>(first);
        page.page.maxPayload = profile.maxPayload;
        page.page.dataCapacity = profile.dataCapacity;
        page.page.eventCapacity = profile.eventCapacity;
        page.page.controlFeatures = profile.controlFeatures;
        const size_t last = std::min(n, first + perPage);
        for (size_t i = first; i < last; ++i) page.page.entries.push_back(profile.targets[i].capability);
        page.page.nextOffset = last < n ? static_cast<uint16_t>(last) : kCapabilitiesEnd;
        profile.pages.push_back(std::move(page));
        first = last;
    } while (first < n);
}

SimProfile ParseProfile(std::string_view text, const std::string& origin) {
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::parse_error& e) {
        Fail(origin, std::string("not valid JSON (") + e.what() + ").");
    }
    if (!doc.is_object()) Fail(origin, "the top level is not an object.");

    SimProfile p;
    if (doc.contains("base")) {
        if (!doc.at("base").is_string()) Fail(origin, "\"base\" is not a text.");
        auto base = BuiltInProfile(doc.at("base").get<std::string>());
        if (!base) Fail(origin, "unknown base model \"" + doc.at("base").get<std::string>() + "\".");
        p = std::move(*base);
    }
    for (const char* key : {"model", "firmware"}) {
        if (doc.contains(key) && !doc.at(key).is_string())
            Fail(origin, std::string("\"") + key + "\" is not a text.");
    }
    if (doc.contains("model")) p.model = doc.at("model").get<std::string>();
    if (doc.contains("firmware")) p.firmware = doc.at("firmware").get<std::string>();
    if (p.model.empty()) Fail(origin, "no \"model\" and no \"base\".");
    Take(doc, "max_payload", p.maxPayload, origin);
    Take(doc, "data_capacity", p.dataCapacity, origin);
    Take(doc, "event_capacity", p.eventCapacity, origin);
    Take(doc, "control_features", p.controlFeatures, origin);
    if (doc.contains("clock_sharing")) {
        const json& v = doc.at("clock_sharing");
        const std::string s = v.is_string() ? v.get<std::string>() : "";
        if (s == "none") {
            p.clockSharing = SimClockSharing::kNone;
        } else if (s == "kl2") {
            p.clockSharing = SimClockSharing::kKL2;
        } else if (s == "kl3") {
            p.clockSharing = SimClockSharing::kKL3;
        } else {
            Fail(origin, "\"clock_sharing\" must be \"none\", \"kl2\" or \"kl3\".");
        }
    }
    if (doc.contains("dac")) {
        const json& d = doc.at("dac");
        if (!d.is_object()) Fail(origin, "\"dac\" is not an object.");
        Take(d, "revision", p.dac.revision, origin);
        Take(d, "tick_rate", p.dac.tickRate, origin);
        Take(d, "record_capacity", p.dac.recordCapacity, origin);
        Take(d, "event_capacity", p.dac.eventCapacity, origin);
        Take(d, "max_records", p.dac.maxRecords, origin);
        Take(d, "profile", p.dac.profile, origin);
        Take(d, "max_late_us", p.dac.maxLateUs, origin);
    }
    if (doc.contains("receive")) {
        const json& r = doc.at("receive");
        if (!r.is_object()) Fail(origin, "\"receive\" is not an object.");
        Take(r, "startup_bytes", p.receive.startupBytes, origin);
        Take(r, "window_data_bytes", p.receive.windowDataBytes, origin);
        Take(r, "window_control_bytes", p.receive.windowControlBytes, origin);
        if (r.contains("fenced_startup")) {
            if (!r.at("fenced_startup").is_boolean())
                Fail(origin, "\"fenced_startup\" is not true or false.");
            p.receive.fencedStartup = r.at("fenced_startup").get<bool>();
        }
    }
    const bool hasTargets = doc.contains("targets");
    if (hasTargets) {
        if (!doc.at("targets").is_array()) Fail(origin, "\"targets\" is not a list.");
        p.targets.clear();
        for (const json& e : doc.at("targets")) p.targets.push_back(TargetOf(e, origin));
    }
    if (doc.contains("pages")) {
        if (!doc.at("pages").is_array() || doc.at("pages").empty())
            Fail(origin, "\"pages\" is not a non-empty list.");
        p.pages.clear();
        std::vector<SimTarget> fromPages;
        for (const json& pj : doc.at("pages")) {
            if (!pj.is_object()) Fail(origin, "a page is not an object.");
            SimPage page;
            Take(pj, "offset", page.offset, origin);
            if (pj.contains("raw")) {
                if (!pj.at("raw").is_string()) Fail(origin, "\"raw\" is not a text.");
                page.raw = HexBytes(pj.at("raw").get<std::string>(), origin);
            }
            page.page.maxPayload = p.maxPayload;
            page.page.dataCapacity = p.dataCapacity;
            page.page.eventCapacity = p.eventCapacity;
            page.page.controlFeatures = p.controlFeatures;
            page.page.nextOffset = kCapabilitiesEnd;
            Take(pj, "max_payload", page.page.maxPayload, origin);
            Take(pj, "data_capacity", page.page.dataCapacity, origin);
            Take(pj, "event_capacity", page.page.eventCapacity, origin);
            Take(pj, "control_features", page.page.controlFeatures, origin);
            Take(pj, "next", page.page.nextOffset, origin);
            if (pj.contains("entries")) {
                if (!pj.at("entries").is_array()) Fail(origin, "\"entries\" is not a list.");
                for (const json& e : pj.at("entries")) {
                    SimTarget t = TargetOf(e, origin);
                    page.page.entries.push_back(t.capability);
                    fromPages.push_back(t);
                }
            }
            p.pages.push_back(std::move(page));
        }
        if (!hasTargets) p.targets = std::move(fromPages);
    } else {
        BuildPages(p);
    }
    return p;
}

SimProfile LoadProfile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw ReadError("Simulator profile " + file.string() + ": cannot be opened.");
    std::ostringstream text;
    text << in.rdbuf();
    return ParseProfile(text.str(), file.string());
}

std::string ModelStem(std::string_view model) {
    std::string stem;
    for (char ch : model) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || ch == '.' || ch == '_' || ch == '-')
            stem.push_back(static_cast<char>(std::tolower(c)));
    }
    return stem.empty() ? "board" : stem;
}

}  // namespace klink::sim
