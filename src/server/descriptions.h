// The device and service descriptions the server publishes.
#pragma once

#include <string>

inline constexpr const char* kDeviceDescriptionFile = "MediaServer.xml";
inline constexpr const char* kContentDirectoryType = "urn:schemas-upnp-org:service:ContentDirectory:1";
inline constexpr const char* kConnectionManagerType = "urn:schemas-upnp-org:service:ConnectionManager:1";
inline constexpr const char* kRegistrarType =
    "urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1";

// The device description: friendly name (repaired and escaped here) and UDN.
std::string DeviceDescription(const std::string& friendlyName, const std::string& udn);

// Writes the device description and the three service descriptions into
// `folder`. False when a file cannot be written.
bool WriteDescriptions(const std::string& folder, const std::string& friendlyName,
                       const std::string& udn);

// The device's identifier kept in the data folder, made on first use: the
// same on every start, so clients keep their bookmarks. "" when it can
// neither be read nor made.
std::string LoadOrMakeUdn(const std::string& file);
