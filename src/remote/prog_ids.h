// The ProgIDs of the five server objects: the names by which a client asks the application
// server for an object and by which the server hosts it. Shared by both sides; nothing else.
#pragma once

namespace remote {

inline constexpr const char* kProgIdSysTran = "systransctrl.cosystransctrl";
inline constexpr const char* kProgIdStoreProduct = "LirraMISServer.CoStoreProduct";
inline constexpr const char* kProgIdCommunicate = "LirraMISServer.CoCommunicateObj";
inline constexpr const char* kProgIdSysControl = "LirraMISServer.CoSysContrlObj";
inline constexpr const char* kProgIdCompanyInfo = "LirraMISServer.CoCompanyInfo";

}  // namespace remote
