// The library's name and version as it reports them: to config servers (the "sdk"
// member of a fetch), to OTLP collectors (resource and scope), in the User-Agent and
// from OrvExperiment::getSDKVersion. One place, so they never disagree.
#pragma once

#define ORV_SDK_VERSION "1.0.2"

inline constexpr const char* kOrvSdkName = "OrvExperiment";
inline constexpr const char* kOrvSdkVersion = ORV_SDK_VERSION;
