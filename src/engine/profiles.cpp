// profiles.cpp: the built-in device profiles and their loading.
#include "engine/profiles.h"

#include <algorithm>

#include "common/log.h"

namespace tarvex {

namespace {

using S = SignalType;

// Host names these devices query, as seen in their traffic:
//   trace.svc.ui.com               UniFi consoles and access points (Ubiquiti cloud trace)
//   ntp.ubuntu.com                 Ubuntu's default time server (systemd-timesyncd)
//   captive.apple.com              Apple's captive-portal check
//   www.msftconnecttest.com        Windows network connectivity status indicator
//   connectivity-check.ubuntu.com  Ubuntu NetworkManager connectivity check
//   connectivitycheck.gstatic.com  Android's captive-portal check
//   samsungcloudsolution.com       Samsung Smart TV cloud services
//   lgtvsdp.com                    LG webOS TV service platform
//   meethue.com                    Philips Hue bridge cloud
//   clients3.google.com            Google's connectivity check used by Nest and Home devices
//   ring.com, fw.ring.com          Ring's main domain and firmware host
//   device-metrics-us.amazon.com   Amazon Echo device metrics
//   checkip.synology.com           Synology DSM public-address check
constexpr std::string_view kUbiquitiTrace = "trace.svc.ui.com";
constexpr std::string_view kUbuntuTime = "ntp.ubuntu.com";
constexpr std::string_view kAppleCaptive = "captive.apple.com";
constexpr std::string_view kWindowsConnectTest = "www.msftconnecttest.com";
constexpr std::string_view kUbuntuConnectivity = "connectivity-check.ubuntu.com";
constexpr std::string_view kAndroidConnectivity = "connectivitycheck.gstatic.com";
constexpr std::string_view kSamsungTvCloud = "samsungcloudsolution.com";
constexpr std::string_view kLgTvService = "lgtvsdp.com";
constexpr std::string_view kHueCloud = "meethue.com";
constexpr std::string_view kGoogleClients = "clients3.google.com";
constexpr std::string_view kRingMain = "ring.com";
constexpr std::string_view kRingFirmware = "fw.ring.com";
constexpr std::string_view kAmazonMetrics = "device-metrics-us.amazon.com";
constexpr std::string_view kSynologyCheckIp = "checkip.synology.com";

constexpr std::string_view kAppleVendorClass = "AAPLBSDPC";
constexpr std::string_view kWindowsVendorClass = "MSFT 5.0";
constexpr std::string_view kWindowsDhcpList = "1,15,3,6,44,46,47,31,33,249,43";
constexpr std::string_view kLinuxDhcpList = "1,28,2,3,15,6,119,12,44,47,26,121,42";

constexpr Signal kUnifiGateway[] = {
    {"78:45:58", S::manufacturer}, {"udm-pro", S::hostname}, {kUbiquitiTrace, S::dns_behavior}};
constexpr Signal kUnifiAp[] = {
    {"78:45:58", S::manufacturer}, {"unifi-ap", S::hostname}, {kUbiquitiTrace, S::dns_behavior}};
constexpr Signal kUnifiSwitch[] = {{"78:45:58", S::manufacturer}, {"usw", S::hostname}};
constexpr Signal kGenericRouter[] = {{"gateway", S::hostname}, {kUbuntuTime, S::dns_behavior}};
constexpr Signal kMac[] = {{"3C:22:FB", S::manufacturer},
                           {"macbook", S::hostname},
                           {kAppleCaptive, S::dns_behavior},
                           {kAppleVendorClass, S::vendor_class}};
constexpr Signal kIphone[] = {{"3C:22:FB", S::manufacturer},
                              {"iPhone", S::hostname},
                              {kAppleCaptive, S::dns_behavior},
                              {kAppleVendorClass, S::vendor_class},
                              {"1,121,3,6,15,119,252", S::dhcp_profile}};
constexpr Signal kIpad[] = {{"3C:22:FB", S::manufacturer},
                            {"iPad", S::hostname},
                            {kAppleCaptive, S::dns_behavior},
                            {kAppleVendorClass, S::vendor_class}};
constexpr Signal kAppleTv[] = {
    {"3C:22:FB", S::manufacturer}, {"Apple-TV", S::hostname}, {kAppleCaptive, S::dns_behavior}};
constexpr Signal kWindowsPc[] = {{kWindowsVendorClass, S::vendor_class},
                                 {"DESKTOP-", S::hostname},
                                 {kWindowsConnectTest, S::dns_behavior},
                                 {kWindowsDhcpList, S::dhcp_profile}};
constexpr Signal kWindowsLaptop[] = {{kWindowsVendorClass, S::vendor_class},
                                     {"LAPTOP-", S::hostname},
                                     {kWindowsConnectTest, S::dns_behavior},
                                     {kWindowsDhcpList, S::dhcp_profile}};
constexpr Signal kWindowsServer[] = {{kWindowsVendorClass, S::vendor_class},
                                     {"_ldap._tcp", S::dns_behavior},
                                     {"wpad", S::dns_behavior}};
constexpr Signal kLinuxDesktop[] = {{kUbuntuConnectivity, S::dns_behavior},
                                    {kLinuxDhcpList, S::dhcp_profile}};
constexpr Signal kLinuxServer[] = {{kUbuntuTime, S::dns_behavior},
                                   {kLinuxDhcpList, S::dhcp_profile}};
constexpr Signal kAndroidPhone[] = {{"8C:77:12", S::manufacturer},
                                    {"galaxy", S::hostname},
                                    {kAndroidConnectivity, S::dns_behavior},
                                    {"android-dhcp", S::vendor_class}};
constexpr Signal kAndroidTablet[] = {{"8C:77:12", S::manufacturer},
                                     {"Galaxy-Tab", S::hostname},
                                     {kAndroidConnectivity, S::dns_behavior},
                                     {"android-dhcp", S::vendor_class}};
constexpr Signal kPixel[] = {{"3C:5A:B4", S::manufacturer},
                             {"Pixel", S::hostname},
                             {kAndroidConnectivity, S::dns_behavior},
                             {"android-dhcp", S::vendor_class}};
constexpr Signal kSamsungTv[] = {
    {"8C:77:12", S::manufacturer}, {"samsung-tv", S::hostname}, {kSamsungTvCloud, S::dns_behavior}};
constexpr Signal kLgTv[] = {
    {"CC:2D:8C", S::manufacturer}, {"lgwebos", S::hostname}, {kLgTvService, S::dns_behavior}};
constexpr Signal kHue[] = {
    {"EC:B5:FA", S::manufacturer}, {"philips-hue", S::hostname}, {kHueCloud, S::dns_behavior}};
constexpr Signal kNestCam[] = {
    {"18:B4:30", S::manufacturer}, {"nest-cam", S::hostname}, {kGoogleClients, S::dns_behavior}};
constexpr Signal kRing[] = {
    {"ring-doorbell", S::hostname}, {kRingMain, S::dns_behavior}, {kRingFirmware, S::dns_behavior}};
constexpr Signal kEcho[] = {
    {"F0:F0:A4", S::manufacturer}, {"echo", S::hostname}, {kAmazonMetrics, S::dns_behavior}};
constexpr Signal kGoogleHome[] = {
    {"F4:F5:D8", S::manufacturer}, {"Google-Home", S::hostname}, {kGoogleClients, S::dns_behavior}};
constexpr Signal kPrinter[] = {{"printer", S::hostname},
                               {"ePrintCenter", S::dns_behavior},
                               {"Hewlett-Packard", S::vendor_class}};
constexpr Signal kRaspberryPi[] = {
    {"DC:A6:32", S::manufacturer}, {"raspberrypi", S::hostname}, {kUbuntuTime, S::dns_behavior}};
constexpr Signal kSynology[] = {{"00:11:32", S::manufacturer},
                                {"diskstation", S::hostname},
                                {kSynologyCheckIp, S::dns_behavior}};
constexpr Signal kVmware[] = {{"00:0C:29", S::manufacturer}, {"vmware", S::hostname}};

constexpr Signal kHomePod[] = {{"homepod", S::hostname}, {kAppleCaptive, S::dns_behavior}};
constexpr Signal kRoku[] = {{"roku", S::hostname}, {"roku.com", S::dns_behavior}};
constexpr Signal kFireTv[] = {{"fire-tv", S::hostname}, {"amazon", S::manufacturer}};
constexpr Signal kChromecast[] = {{"chromecast", S::hostname}, {kGoogleClients, S::dns_behavior}};
constexpr Signal kSonos[] = {{"sonos", S::hostname}, {"sonos.com", S::dns_behavior}};
constexpr Signal kBravia[] = {{"bravia", S::hostname}, {kAndroidConnectivity, S::dns_behavior}};
constexpr Signal kPlayStation[] = {{"ps5", S::hostname}, {"playstation.net", S::dns_behavior}};
constexpr Signal kXbox[] = {{"xbox", S::hostname}, {"xboxlive.com", S::dns_behavior}};
constexpr Signal kSwitch[] = {{"nintendo", S::hostname}, {"nintendo.net", S::dns_behavior}};
constexpr Signal kKasa[] = {{"hs103", S::hostname}, {"tplinkcloud.com", S::dns_behavior}};
constexpr Signal kShelly[] = {{"shellyplug", S::hostname}, {"shelly.cloud", S::dns_behavior}};
constexpr Signal kTuya[] = {{"tuyaus.com", S::dns_behavior}, {"1,3,28,6", S::dhcp_profile}};
constexpr Signal kTasmota[] = {{"tasmota", S::hostname}, {"1,3,28,6", S::dhcp_profile}};
constexpr Signal kWemo[] = {{"wemo", S::hostname}, {"xbcs.net", S::dns_behavior}};
constexpr Signal kLifx[] = {{"lifx", S::hostname}, {"lifx.co", S::dns_behavior}};
constexpr Signal kWyze[] = {{"wyzec3", S::hostname}, {"wyze.com", S::dns_behavior}};
constexpr Signal kHikvision[] = {{"hikvision", S::hostname}, {"hik-connect.com", S::dns_behavior}};
constexpr Signal kReolink[] = {{"reolink", S::hostname}, {"reolink.com", S::dns_behavior}};
constexpr Signal kArlo[] = {{"arlo", S::hostname}, {"arlo.com", S::dns_behavior}};
constexpr Signal kEufy[] = {{"eufy", S::hostname}, {"eufylife.com", S::dns_behavior}};
constexpr Signal kTapoCam[] = {{"tapo", S::hostname}, {"tplinkcloud.com", S::dns_behavior}};
constexpr Signal kBrother[] = {{"brw", S::hostname}, {"brother", S::manufacturer}};
constexpr Signal kEpson[] = {{"epson", S::hostname}, {"epsonconnect.com", S::dns_behavior}};
constexpr Signal kCanon[] = {{"canon", S::hostname}, {"canon", S::manufacturer}};
constexpr Signal kQnap[] = {{"qnap", S::hostname}, {"myqnapcloud.com", S::dns_behavior}};
constexpr Signal kWdCloud[] = {{"mycloud", S::hostname}, {"mycloud.com", S::dns_behavior}};
constexpr Signal kSmartThings[] = {{"smartthings", S::hostname},
                                   {"smartthings.com", S::dns_behavior}};
constexpr Signal kHomeAssistant[] = {{"homeassistant", S::hostname},
                                     {"home-assistant.io", S::dns_behavior}};
constexpr Signal kEcobee[] = {{"ecobee", S::hostname}, {"ecobee.com", S::dns_behavior}};
constexpr Signal kVirtualBox[] = {{"08:00:27", S::manufacturer}};
constexpr Signal kTpAccessPoint[] = {{"deco", S::hostname}, {"tp-link", S::manufacturer}};

using C = DeviceCategory;

// Domains and patterns below are the public defaults of each product: the
// host names their makers set at the factory (Windows "DESKTOP-"/"LAPTOP-"/
// "WIN-", Brother "BRW"/"BRN" + MAC, HP "NPI" + MAC, Synology "DiskStation",
// Raspberry Pi OS "raspberrypi", TP-Link Kasa model numbers, Shelly
// "shelly<model>-<MAC>") and the cloud domains their firmware talks to.
constexpr std::string_view kUnifiHosts = "ui.com";
constexpr std::string_view kAppleVendor = "apple";
constexpr u16 kAppleMobile = kTraitIos | kTraitApple;
constexpr u16 kAppleDesktop = kTraitMacos | kTraitApple;

constexpr ProfileDef kBuiltinProfiles[] = {
    {"UniFi Gateway", "Ubiquiti", kUnifiGateway, C::network_equipment, "router", "ubiquiti", false,
     "^udm|^ucg|^uxg|^usg|^udr|unifi-gateway|dream-machine", "", kUnifiHosts, "", kTraitEmbedded},
    {"UniFi Access Point", "Ubiquiti", kUnifiAp, C::network_equipment, "access point", "ubiquiti",
     false, "^u6-|^u7-|^uap|unifi-ap|^uap-ac|^nanohd|^flexhd", "", "", "", kTraitEmbedded},
    {"UniFi Switch", "Ubiquiti", kUnifiSwitch, C::network_equipment, "switch", "ubiquiti", false,
     "^usw|^us-8|^us-16|^us-24|^us-48|unifi-switch", "", "", "", kTraitEmbedded},
    {"Generic Router", "Generic", kGenericRouter, C::network_equipment, "router", "", false,
     "^gateway|^router|openwrt", "", "", "", kTraitEmbedded | kTraitLinux},
    {"MacBook / iMac", "Apple", kMac, C::workstation, "computer", kAppleVendor, false,
     "macbook|imac|mac-mini|macmini|mac-studio|mac-pro|^mbp", "", "", "AAPLBSDPC", kAppleDesktop},
    {"iPhone", "Apple", kIphone, C::mobile, "phone", kAppleVendor, false, "iphone", "", "", "",
     kAppleMobile, true},
    {"iPad", "Apple", kIpad, C::mobile, "tablet", kAppleVendor, false, "ipad", "", "", "",
     kAppleMobile, true},
    {"Apple TV", "Apple", kAppleTv, C::iot, "streaming player", kAppleVendor, false,
     "apple-tv|appletv|apple tv", "", "", "", kAppleMobile, true},
    {"Windows PC", "Microsoft", kWindowsPc, C::workstation, "computer", "", false, "^desktop-", "",
     "msftconnecttest.com|msftncsi.com", "MSFT", kTraitWindows},
    {"Windows Laptop", "Microsoft", kWindowsLaptop, C::workstation, "laptop", "", false, "^laptop-",
     "", "", "MSFT", kTraitWindows, true},
    {"Windows Server", "Microsoft", kWindowsServer, C::server, "server", "", false, "^win-", "", "",
     "MSFT", kTraitWindows, true},
    {"Linux Desktop", "Generic", kLinuxDesktop, C::workstation, "computer", "", false,
     "ubuntu|fedora|debian|^arch|linuxmint|pop-os|^manjaro", "server|^srv",
     "connectivity-check.ubuntu.com|nmcheck.gnome.org|fedoraproject.org", "", kTraitLinux},
    {"Linux Server", "Generic", kLinuxServer, C::server, "server", "", false,
     "server|^srv|^nuc|proxmox|^pve", "", "", "", kTraitLinux, true},
    {"Android Phone", "Generic", kAndroidPhone, C::mobile, "phone",
     "samsung|xiaomi|oneplus|motorola|huawei|oppo|vivo|realme|nokia|hmd global|zte|lg electronics",
     false, "galaxy|^android-|^sm-|redmi|oneplus|xiaomi|^moto|^poco|^oppo|^vivo|^realme|^nokia",
     "tab|sm-t|sm-x|pixel", "", "android-dhcp", kTraitAndroid, true},
    {"Android Tablet", "Generic", kAndroidTablet, C::mobile, "tablet",
     "samsung|lenovo|xiaomi|huawei|amazon", false, "galaxy-tab|galaxytab|^tab-|^sm-t|^sm-x|-tab-",
     "", "", "", kTraitAndroid, true},
    {"Google Pixel", "Google", kPixel, C::mobile, "phone", "google", false, "^pixel", "pixelbook",
     "", "", kTraitAndroid, true},
    {"Samsung Smart TV", "Samsung", kSamsungTv, C::iot, "tv", "samsung", false,
     "samsung-tv|samsungtv|^tizen|[tv] samsung|^samsung$", "",
     "samsungcloudsolution.com|samsungotn.net|samsungcloudsolution.net", "", 0},
    {"LG Smart TV", "LG", kLgTv, C::iot, "tv", "lg electronics|lg innotek", false,
     "lgwebos|webostv|^lg-tv|^lgtv", "", "lgtvsdp.com|lgappstv.com", "", 0},
    {"Philips Hue Bridge", "Philips", kHue, C::iot, "hub", "philips lighting|signify", true,
     "philips-hue|^hue-bridge", "", "meethue.com", "", 0},
    {"Nest Camera", "Google", kNestCam, C::iot, "camera", "nest labs|google", false,
     "nest-cam|nestcam|dropcam", "", "dropcam.com", "", 0},
    {"Ring Doorbell", "Amazon", kRing, C::iot, "doorbell", "ring llc", true,
     "^ring-|^ringdoorbell|^ringstickup|^ring_|^ringpro", "", "ring.com", "", 0},
    {"Amazon Echo", "Amazon", kEcho, C::iot, "speaker", "amazon", false, "^echo|echo-dot|echodot",
     "", "avs-alexa-na.amazon.com|avs-alexa-eu.amazon.com|avs-alexa-fe.amazon.com", "", 0},
    {"Google Home", "Google", kGoogleHome, C::iot, "speaker", "google", false,
     "google-home|google-nest|nest-mini|nest-audio|nest-hub|googlehome", "", "", "", 0},
    {"Network Printer", "HP", kPrinter, C::iot, "printer", "hp inc|hewlett", false,
     "officejet|laserjet|deskjet|^npi|^hp-printer|^hpprinter", "", "hpeprint.com",
     "Hewlett-Packard", 0},
    {"Raspberry Pi", "Raspberry Pi", kRaspberryPi, C::server, "single-board computer",
     "raspberry pi", true, "raspberrypi|^rpi|raspberry", "", "raspberrypi.org|raspberrypi.com", "",
     kTraitLinux},
    {"Synology NAS", "Synology", kSynology, C::server, "nas", "synology", true,
     "diskstation|synology|^ds2|^ds9|^ds4|^ds7|^ds1", "", "synology.com", "", 0},
    {"VMware Virtual Machine", "VMware", kVmware, C::server, "virtual machine", "vmware", true, "",
     "", "", "", 0},
    // ---- the common kinds the first 27 missed --------------------------
    {"HomePod", "Apple", kHomePod, C::iot, "speaker", kAppleVendor, false, "homepod", "", "", "",
     kAppleMobile, true},
    {"Roku Player", "Roku", kRoku, C::iot, "streaming player", "roku", true, "^roku", "",
     "roku.com", "", 0},
    {"Amazon Fire TV", "Amazon", kFireTv, C::iot, "streaming player", "amazon", false,
     "fire-tv|firetv|^aft|fire tv", "", "", "", kTraitAndroid, true},
    {"Google Chromecast", "Google", kChromecast, C::iot, "streaming player", "google", false,
     "chromecast|google-tv", "", "", "", kTraitAndroid, true},
    {"Sonos Speaker", "Sonos", kSonos, C::iot, "speaker", "sonos", true, "sonos", "", "sonos.com",
     "", 0},
    {"Sony Bravia TV", "Sony", kBravia, C::iot, "tv", "sony corporation", false, "bravia", "", "",
     "", kTraitAndroid},
    {"PlayStation", "Sony", kPlayStation, C::iot, "game console", "sony interactive", true,
     "^ps4|^ps5|playstation", "", "playstation.net|playstation.com", "", 0},
    {"Xbox", "Microsoft", kXbox, C::iot, "game console", "microsoft", false, "xbox", "",
     "xboxlive.com", "", kTraitWindows},
    {"Nintendo Switch", "Nintendo", kSwitch, C::iot, "game console", "nintendo", true,
     "nintendo|^switch-", "", "nintendo.net", "", 0},
    {"TP-Link Kasa Smart Plug", "TP-Link", kKasa, C::iot, "smart plug", "tp-link", false,
     "^hs100|^hs103|^hs105|^hs110|^hs200|^kp115|^kp125|^kp400|^ep10|^ep25|kasa", "",
     "tplinkcloud.com", "", kTraitEmbedded},
    {"Shelly Smart Relay", "Shelly", kShelly, C::iot, "smart plug", "espressif", false, "^shelly",
     "", "shelly.cloud", "", kTraitEmbedded},
    {"Tuya Smart Plug", "Tuya", kTuya, C::iot, "smart plug", "tuya|espressif", false, "", "",
     "tuyaus.com|tuyaeu.com|tuyacn.com|tuyain.com", "", kTraitEmbedded},
    {"Tasmota Smart Plug", "Generic", kTasmota, C::iot, "smart plug", "espressif", false, "tasmota",
     "", "", "", kTraitEmbedded},
    {"Belkin Wemo Plug", "Belkin", kWemo, C::iot, "smart plug", "belkin", false, "wemo", "",
     "xbcs.net", "", kTraitEmbedded},
    {"LIFX Bulb", "LIFX", kLifx, C::iot, "smart bulb", "lifx", true, "lifx", "", "lifx.co", "",
     kTraitEmbedded},
    {"Wyze Camera", "Wyze", kWyze, C::iot, "camera", "wyze", true, "wyze", "",
     "wyze.com|wyzecam.com", "", kTraitEmbedded},
    {"Hikvision Camera", "Hikvision", kHikvision, C::iot, "camera", "hikvision", true,
     "hikvision|^ds-2cd", "", "hik-connect.com|hikvision.com", "", kTraitEmbedded},
    {"Reolink Camera", "Reolink", kReolink, C::iot, "camera", "reolink", true, "reolink", "",
     "reolink.com", "", kTraitEmbedded},
    {"Arlo Camera", "Arlo", kArlo, C::iot, "camera", "arlo technology", true, "^arlo|^vmc", "",
     "arlo.com", "", kTraitEmbedded},
    {"Eufy Camera", "Anker", kEufy, C::iot, "camera", "anker", true, "eufy", "", "eufylife.com", "",
     kTraitEmbedded},
    {"TP-Link Tapo Camera", "TP-Link", kTapoCam, C::iot, "camera", "tp-link", false,
     "^tapo|^c100|^c200|^c210|^c310", "", "", "", kTraitEmbedded},
    {"Brother Printer", "Brother", kBrother, C::iot, "printer", "brother", true, "^brw|^brn", "",
     "", "", 0},
    {"Epson Printer", "Epson", kEpson, C::iot, "printer", "seiko epson", true, "^epson", "",
     "epsonconnect.com", "", 0},
    {"Canon Printer", "Canon", kCanon, C::iot, "printer", "canon", true, "^canon", "", "", "", 0},
    {"QNAP NAS", "QNAP", kQnap, C::server, "nas", "qnap", true, "qnap|^nas[0-9a-f]", "",
     "myqnapcloud.com|qnap.com", "", kTraitLinux},
    {"WD My Cloud NAS", "Western Digital", kWdCloud, C::server, "nas", "western digital", true,
     "mycloud", "", "mycloud.com|wd2go.com", "", kTraitLinux},
    {"SmartThings Hub", "Samsung", kSmartThings, C::iot, "hub", "smartthings", true, "smartthings",
     "", "smartthings.com", "", kTraitEmbedded},
    {"Home Assistant", "Generic", kHomeAssistant, C::server, "hub", "", false,
     "homeassistant|home-assistant", "", "home-assistant.io", "", kTraitLinux | kTraitEmbedded},
    {"ecobee Thermostat", "ecobee", kEcobee, C::iot, "thermostat", "ecobee", true, "ecobee", "",
     "ecobee.com", "", kTraitEmbedded},
    {"VirtualBox Virtual Machine", "Oracle", kVirtualBox, C::server, "virtual machine",
     "pcs systemtechnik", true, "", "", "", "", 0},
    {"TP-Link Deco / Omada AP", "TP-Link", kTpAccessPoint, C::network_equipment, "access point",
     "tp-link", false, "^deco|^eap", "", "", "", kTraitEmbedded},
};

}  // namespace

std::span<const ProfileDef> builtinProfileDefs() {
    return kBuiltinProfiles;
}

ConceptVector buildVector(std::span<const Signal> signals) {
    ConceptVector enc[kMaxProfileSignals];
    const size_t n = std::min(signals.size(), kMaxProfileSignals);
    for (size_t i = 0; i < n; ++i) enc[i] = encodeSignal(signals[i].type, signals[i].value);
    return ConceptVector::bundleMajority(std::span<const ConceptVector>(enc, n));
}

u32 loadProfiles(FingerprintEngine& engine, std::span<const ProfileDef> defs) {
    u32 added = 0;
    for (const ProfileDef& def : defs) {
        if (engine.addProfile(def.name, def.manufacturer, def.category, buildVector(def.signals))) {
            ++added;
        } else {
            logWarn("profiles", "failed to load profile: {} (table full)", def.name);
        }
    }
    logInfo("profiles", "loaded {} built-in device profiles", added);
    return added;
}

u32 loadBuiltinProfiles(FingerprintEngine& engine) {
    return loadProfiles(engine, builtinProfileDefs());
}

}  // namespace tarvex
