// identity_test.cpp: the identification rules, one behaviour per case.
#include "engine/identity.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/text.h"
#include "engine/profiles.h"
#include "engine/table_ptr.h"

namespace tarvex {
namespace {

// A fresh record with the given facts.
struct Facts {
    const char* vendor = "";
    const char* hostname = "";
    const char* options = "";
    const char* vendor_class = "";
    const char* domains[3] = {};
};

DeviceFingerprint deviceWith(const Facts& f) {
    DeviceFingerprint d{};
    identity::noteVendor(d, f.vendor);
    identity::noteHostname(d, f.hostname);
    identity::noteOptions(d, f.options);
    identity::noteVendorClass(d, f.vendor_class);
    for (const char* name : f.domains)
        if (name) identity::noteDomain(d, name);
    return d;
}

TEST(IdentityRules, HostNamePatterns) {
    struct Case {
        const char* rule;
        const char* text;
        const char* patterns;
        bool match;
    };
    const Case cases[] = {
        {"a prefix matches a longer name", "DESKTOP-7H2K9QF", "^desktop-", true},
        {"letter case is ignored", "DiskStation", "diskstation", true},
        {"a substring anywhere", "Annas-iPhone", "iphone", true},
        {"a prefix must stand at the start", "my-desktop-1", "^desktop-", false},
        {"^x$ is the whole name", "Samsung", "^samsung$", true},
        {"^x$ is not a prefix", "Samsung-Fridge", "^samsung$", false},
        {"one of several", "U6-Lite", "^uap|^u6-", true},
        {"an empty name matches nothing", "", "iphone", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(identity::matchesAny(c.text, c.patterns), c.match) << c.rule;
}

TEST(IdentityRules, FactsBecomeTraitsAndDomainMarks) {
    struct Case {
        const char* rule;
        Facts facts;
        u16 traits;
    };
    const Case cases[] = {
        {"Windows 10/11 option list", {.options = "1,3,6,15,31,33,43,44,46,47,119,121,249,252"},
         kTraitWindows},
        {"iOS 15+ option list", {.options = "1,121,3,6,15,108,114,119,252"},
         kTraitIos | kTraitApple},
        {"Android option list", {.options = "1,3,6,15,26,28,51,58,59,43,114"}, kTraitAndroid},
        {"dhclient option list", {.options = "1,28,2,3,15,6,119,12,44,47,26,121,42"}, kTraitLinux},
        {"lwIP option list", {.options = "1,3,28,6"}, kTraitEmbedded},
        {"an unknown list says nothing", {.options = "1,2,3"}, 0},
        {"vendor class beginning, any case", {.vendor_class = "msft 5.0"}, kTraitWindows},
        {"Android vendor class with version", {.vendor_class = "android-dhcp-13"}, kTraitAndroid},
        {"a connectivity check under its domain",
         {.domains = {"www.msftconnecttest.com"}}, kTraitWindows},
        {"a look-alike domain is not under it", {.domains = {"evilmsftconnecttest.com"}}, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(deviceWith(c.facts).traits, c.traits) << c.rule;
}

TEST(IdentityRules, Verdicts) {
    struct Case {
        const char* rule;
        Facts facts;
        const char* label;  // "" = no label
    };
    const Case cases[] = {
        {"vendor-level: any Apple prefix names Apple, the host name the model",
         {.vendor = "Apple, Inc.", .hostname = "Annas-iPhone"}, "iPhone"},
        {"a host name alone can decide", {.hostname = "DESKTOP-7H2K9QF"}, "Windows PC"},
        {"vendor class and option list of Windows without a name",
         {.options = "1,3,6,15,31,33,43,44,46,47,119,121,249,252", .vendor_class = "MSFT 5.0"},
         "Windows PC"},
        {"the narrower profile wins with its name",
         {.hostname = "LAPTOP-1AB2C3D", .vendor_class = "MSFT 5.0"}, "Windows Laptop"},
        {"a parent domain: a subdomain of the rule domain", {.domains = {"scribe.logs.roku.com"}},
         ""},
        {"a maker that decides the kind, with its domain",
         {.vendor = "Roku, Inc", .domains = {"api.roku.com"}}, "Roku Player"},
        {"a maker that decides the kind alone", {.vendor = "Synology Incorporated"}, "Synology NAS"},
        {"Apple and iOS without a name: iPhone, iPad, Apple TV tie, no label",
         {.vendor = "Apple, Inc.", .options = "1,121,3,6,15,108,114,119,252"}, ""},
        {"Apple's captive portal alone is no MacBook",
         {.vendor = "Apple, Inc.", .domains = {"captive.apple.com"}}, ""},
        {"a vendor that contradicts the profile: no Android phone from a TP-Link name",
         {.vendor = "TP-LINK TECHNOLOGIES CO.,LTD.", .hostname = "Galaxy-S23"}, ""},
        {"an operating system that contradicts: a Windows box named like a phone",
         {.hostname = "Pixel-7", .options = "1,3,6,15,31,33,43,44,46,47,119,121,249,252"}, ""},
        {"a tablet pattern rules out the phone",
         {.vendor = "Samsung Electronics Co.,Ltd", .hostname = "Galaxy-Tab-S8",
          .options = "1,3,6,15,26,28,51,58,59,43,114"},
         "Android Tablet"},
        {"a generic ESP module fits several plugs equally: no label",
         {.vendor = "Espressif Inc.", .hostname = "ESP_1A2B3C", .options = "1,3,28,6"}, ""},
        {"nothing known", {}, ""},
    };
    for (const Case& c : cases) {
        DeviceFingerprint d = deviceWith(c.facts);
        identity::identify(d);
        EXPECT_EQ(d.getLabel(), c.label) << c.rule;
        if (*c.label) {
            EXPECT_GT(d.confidence, 0.0f) << c.rule;
            EXPECT_NE(d.getEvidence(), "") << c.rule;
        }
    }
}

TEST(IdentityRules, StrongerEvidenceRevisesTheLabelAndTiesKeepIt) {
    DeviceFingerprint d{};
    identity::noteVendor(d, "Ubiquiti Inc");
    identity::noteHostname(d, "USW-Lite-8");
    identity::identify(d);
    EXPECT_EQ(d.getLabel(), "UniFi Switch");
    // The same device renamed by its owner to an access point's name: the
    // newer host name decides.
    identity::noteHostname(d, "U6-Lite");
    identity::identify(d);
    EXPECT_EQ(d.getLabel(), "UniFi Access Point");
    EXPECT_EQ(identity::kindOf(d), "access point");
    // Losing the name leaves a tie between the UniFi profiles: the label stays.
    d.hostname_len = 0;
    identity::identify(d);
    EXPECT_EQ(d.getLabel(), "UniFi Access Point");
}

TEST(IdentityRules, UserKindIsShownInsteadOfTheGuess) {
    DeviceFingerprint d = deviceWith({.hostname = "DESKTOP-7H2K9QF"});
    identity::identify(d);
    EXPECT_EQ(identity::kindOf(d), "computer");
    d.user_kind_len = 0;
    copyBounded(d.user_kind, d.user_kind_len, std::string_view("media server"));
    copyBounded(d.user_name, d.user_name_len, std::string_view("Plex"));
    identity::identify(d);
    EXPECT_EQ(identity::kindOf(d), "media server");
    EXPECT_EQ(d.displayLabel(), "Plex");
    EXPECT_EQ(d.getLabel(), "Windows PC") << "the guess is kept beside the correction";
}

TEST(IdentityRules, RepeatedFactsDoNotDiluteTheVector) {
    auto e = test::makeTable<FingerprintEngine>();
    e->init(200);
    const u8 mac[6] = {0x3c, 0x22, 0xfb, 1, 2, 3};
    DeviceFingerprint* d = e->getOrCreateDevice(mac);
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(e->observeFact(*d, SignalType::hostname, "iPhone"));
    EXPECT_TRUE(e->observeFact(*d, SignalType::manufacturer, "3C:22:FB"));
    const ConceptVector before = d->vector;
    for (int i = 0; i < 50; ++i) {
        EXPECT_FALSE(e->observeFact(*d, SignalType::hostname, "iPhone"));
        EXPECT_FALSE(e->observeFact(*d, SignalType::manufacturer, "3C:22:FB"));
    }
    EXPECT_EQ(d->vector, before);
    EXPECT_EQ(d->signal_count, 2);
    // The same text as another kind of fact is another fact.
    EXPECT_TRUE(e->observeFact(*d, SignalType::dns_behavior, "iPhone"));
    EXPECT_EQ(d->signal_count, 3);
}

}  // namespace
}  // namespace tarvex
