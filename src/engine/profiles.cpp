// profiles.cpp: the 27 built-in device profiles and their loading.
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
constexpr Signal kAndroidPhone[] = {{"F0:18:98", S::manufacturer},
                                    {"galaxy", S::hostname},
                                    {kAndroidConnectivity, S::dns_behavior},
                                    {"android-dhcp", S::vendor_class}};
constexpr Signal kAndroidTablet[] = {{"F0:18:98", S::manufacturer},
                                     {"Galaxy-Tab", S::hostname},
                                     {kAndroidConnectivity, S::dns_behavior},
                                     {"android-dhcp", S::vendor_class}};
constexpr Signal kPixel[] = {{"94:B2:CC", S::manufacturer},
                             {"Pixel", S::hostname},
                             {kAndroidConnectivity, S::dns_behavior},
                             {"android-dhcp", S::vendor_class}};
constexpr Signal kSamsungTv[] = {
    {"B4:2E:99", S::manufacturer}, {"samsung-tv", S::hostname}, {kSamsungTvCloud, S::dns_behavior}};
constexpr Signal kLgTv[] = {
    {"CC:2D:8C", S::manufacturer}, {"lgwebos", S::hostname}, {kLgTvService, S::dns_behavior}};
constexpr Signal kHue[] = {
    {"EC:B5:FA", S::manufacturer}, {"philips-hue", S::hostname}, {kHueCloud, S::dns_behavior}};
constexpr Signal kNestCam[] = {
    {"44:D9:E7", S::manufacturer}, {"nest-cam", S::hostname}, {kGoogleClients, S::dns_behavior}};
constexpr Signal kRing[] = {
    {"ring-doorbell", S::hostname}, {kRingMain, S::dns_behavior}, {kRingFirmware, S::dns_behavior}};
constexpr Signal kEcho[] = {
    {"F0:F0:A4", S::manufacturer}, {"echo", S::hostname}, {kAmazonMetrics, S::dns_behavior}};
constexpr Signal kGoogleHome[] = {
    {"94:B2:CC", S::manufacturer}, {"Google-Home", S::hostname}, {kGoogleClients, S::dns_behavior}};
constexpr Signal kPrinter[] = {{"printer", S::hostname},
                               {"ePrintCenter", S::dns_behavior},
                               {"Hewlett-Packard", S::vendor_class}};
constexpr Signal kRaspberryPi[] = {
    {"DC:A6:32", S::manufacturer}, {"raspberrypi", S::hostname}, {kUbuntuTime, S::dns_behavior}};
constexpr Signal kSynology[] = {{"00:11:32", S::manufacturer},
                                {"diskstation", S::hostname},
                                {kSynologyCheckIp, S::dns_behavior}};
constexpr Signal kVmware[] = {{"00:0C:29", S::manufacturer}, {"vmware", S::hostname}};

using C = DeviceCategory;

constexpr ProfileDef kBuiltinProfiles[] = {
    {"UniFi Gateway", "Ubiquiti", kUnifiGateway, C::network_equipment},
    {"UniFi Access Point", "Ubiquiti", kUnifiAp, C::network_equipment},
    {"UniFi Switch", "Ubiquiti", kUnifiSwitch, C::network_equipment},
    {"Generic Router", "Generic", kGenericRouter, C::network_equipment},
    {"MacBook / iMac", "Apple", kMac, C::workstation},
    {"iPhone", "Apple", kIphone, C::mobile},
    {"iPad", "Apple", kIpad, C::mobile},
    {"Apple TV", "Apple", kAppleTv, C::iot},
    {"Windows PC", "Microsoft", kWindowsPc, C::workstation},
    {"Windows Laptop", "Microsoft", kWindowsLaptop, C::workstation},
    {"Windows Server", "Microsoft", kWindowsServer, C::server},
    {"Linux Desktop", "Generic", kLinuxDesktop, C::workstation},
    {"Linux Server", "Generic", kLinuxServer, C::server},
    {"Android Phone", "Samsung", kAndroidPhone, C::mobile},
    {"Android Tablet", "Samsung", kAndroidTablet, C::mobile},
    {"Google Pixel", "Google", kPixel, C::mobile},
    {"Samsung Smart TV", "Samsung", kSamsungTv, C::iot},
    {"LG Smart TV", "LG", kLgTv, C::iot},
    {"Philips Hue Bridge", "Philips", kHue, C::iot},
    {"Nest Camera", "Google", kNestCam, C::iot},
    {"Ring Doorbell", "Amazon", kRing, C::iot},
    {"Amazon Echo", "Amazon", kEcho, C::iot},
    {"Google Home", "Google", kGoogleHome, C::iot},
    {"Network Printer", "HP", kPrinter, C::iot},
    {"Raspberry Pi", "Raspberry Pi", kRaspberryPi, C::server},
    {"Synology NAS", "Synology", kSynology, C::server},
    {"VMware Virtual Machine", "VMware", kVmware, C::server},
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
