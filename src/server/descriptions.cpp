#include "server/descriptions.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "server/directory.h"

namespace {

struct Arg {
  const char* name;
  bool in;
  const char* variable;
};
struct Action {
  const char* name;
  std::vector<Arg> args;
};
struct Variable {
  const char* name;
  const char* type;
  bool evented;
  std::vector<const char*> allowed;
};

std::string Scpd(const std::vector<Action>& actions, const std::vector<Variable>& variables) {
  std::ostringstream x;
  x << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
       "<scpd xmlns=\"urn:schemas-upnp-org:service-1-0\">"
       "<specVersion><major>1</major><minor>0</minor></specVersion><actionList>";
  for (const Action& a : actions) {
    x << "<action><name>" << a.name << "</name><argumentList>";
    for (const Arg& g : a.args)
      x << "<argument><name>" << g.name << "</name><direction>" << (g.in ? "in" : "out")
        << "</direction><relatedStateVariable>" << g.variable
        << "</relatedStateVariable></argument>";
    x << "</argumentList></action>";
  }
  x << "</actionList><serviceStateTable>";
  for (const Variable& v : variables) {
    x << "<stateVariable sendEvents=\"" << (v.evented ? "yes" : "no") << "\"><name>" << v.name
      << "</name><dataType>" << v.type << "</dataType>";
    if (!v.allowed.empty()) {
      x << "<allowedValueList>";
      for (const char* a : v.allowed) x << "<allowedValue>" << a << "</allowedValue>";
      x << "</allowedValueList>";
    }
    x << "</stateVariable>";
  }
  x << "</serviceStateTable></scpd>\n";
  return x.str();
}

std::string ContentDirectoryScpd() {
  return Scpd(
      {
          {"GetSearchCapabilities", {{"SearchCaps", false, "SearchCapabilities"}}},
          {"GetSortCapabilities", {{"SortCaps", false, "SortCapabilities"}}},
          {"GetSystemUpdateID", {{"Id", false, "SystemUpdateID"}}},
          {"Browse",
           {{"ObjectID", true, "A_ARG_TYPE_ObjectID"},
            {"BrowseFlag", true, "A_ARG_TYPE_BrowseFlag"},
            {"Filter", true, "A_ARG_TYPE_Filter"},
            {"StartingIndex", true, "A_ARG_TYPE_Index"},
            {"RequestedCount", true, "A_ARG_TYPE_Count"},
            {"SortCriteria", true, "A_ARG_TYPE_SortCriteria"},
            {"Result", false, "A_ARG_TYPE_Result"},
            {"NumberReturned", false, "A_ARG_TYPE_Count"},
            {"TotalMatches", false, "A_ARG_TYPE_Count"},
            {"UpdateID", false, "A_ARG_TYPE_UpdateID"}}},
          {"Search",
           {{"ContainerID", true, "A_ARG_TYPE_ObjectID"},
            {"SearchCriteria", true, "A_ARG_TYPE_SearchCriteria"},
            {"Filter", true, "A_ARG_TYPE_Filter"},
            {"StartingIndex", true, "A_ARG_TYPE_Index"},
            {"RequestedCount", true, "A_ARG_TYPE_Count"},
            {"SortCriteria", true, "A_ARG_TYPE_SortCriteria"},
            {"Result", false, "A_ARG_TYPE_Result"},
            {"NumberReturned", false, "A_ARG_TYPE_Count"},
            {"TotalMatches", false, "A_ARG_TYPE_Count"},
            {"UpdateID", false, "A_ARG_TYPE_UpdateID"}}},
          {"X_GetFeatureList", {{"FeatureList", false, "A_ARG_TYPE_Featurelist"}}},
      },
      {
          {"SearchCapabilities", "string", false, {}},
          {"SortCapabilities", "string", false, {}},
          {"SystemUpdateID", "ui4", true, {}},
          {"ContainerUpdateIDs", "string", true, {}},
          {"A_ARG_TYPE_ObjectID", "string", false, {}},
          {"A_ARG_TYPE_Result", "string", false, {}},
          {"A_ARG_TYPE_SearchCriteria", "string", false, {}},
          {"A_ARG_TYPE_BrowseFlag", "string", false, {"BrowseMetadata", "BrowseDirectChildren"}},
          {"A_ARG_TYPE_Filter", "string", false, {}},
          {"A_ARG_TYPE_SortCriteria", "string", false, {}},
          {"A_ARG_TYPE_Index", "ui4", false, {}},
          {"A_ARG_TYPE_Count", "ui4", false, {}},
          {"A_ARG_TYPE_UpdateID", "ui4", false, {}},
          {"A_ARG_TYPE_Featurelist", "string", false, {}},
      });
}

std::string ConnectionManagerScpd() {
  return Scpd(
      {
          {"GetProtocolInfo",
           {{"Source", false, "SourceProtocolInfo"}, {"Sink", false, "SinkProtocolInfo"}}},
          {"GetCurrentConnectionIDs", {{"ConnectionIDs", false, "CurrentConnectionIDs"}}},
          {"GetCurrentConnectionInfo",
           {{"ConnectionID", true, "A_ARG_TYPE_ConnectionID"},
            {"RcsID", false, "A_ARG_TYPE_RcsID"},
            {"AVTransportID", false, "A_ARG_TYPE_AVTransportID"},
            {"ProtocolInfo", false, "A_ARG_TYPE_ProtocolInfo"},
            {"PeerConnectionManager", false, "A_ARG_TYPE_ConnectionManager"},
            {"PeerConnectionID", false, "A_ARG_TYPE_ConnectionID"},
            {"Direction", false, "A_ARG_TYPE_Direction"},
            {"Status", false, "A_ARG_TYPE_ConnectionStatus"}}},
      },
      {
          {"SourceProtocolInfo", "string", true, {}},
          {"SinkProtocolInfo", "string", true, {}},
          {"CurrentConnectionIDs", "string", true, {}},
          {"A_ARG_TYPE_ConnectionStatus", "string", false,
           {"OK", "ContentFormatMismatch", "InsufficientBandwidth", "UnreliableChannel", "Unknown"}},
          {"A_ARG_TYPE_ConnectionManager", "string", false, {}},
          {"A_ARG_TYPE_Direction", "string", false, {"Input", "Output"}},
          {"A_ARG_TYPE_ProtocolInfo", "string", false, {}},
          {"A_ARG_TYPE_ConnectionID", "i4", false, {}},
          {"A_ARG_TYPE_AVTransportID", "i4", false, {}},
          {"A_ARG_TYPE_RcsID", "i4", false, {}},
      });
}

std::string RegistrarScpd() {
  return Scpd(
      {
          {"IsAuthorized", {{"DeviceID", true, "A_ARG_TYPE_DeviceID"}, {"Result", false, "A_ARG_TYPE_Result"}}},
          {"RegisterDevice",
           {{"RegistrationReqMsg", true, "A_ARG_TYPE_RegistrationReqMsg"},
            {"RegistrationRespMsg", false, "A_ARG_TYPE_RegistrationRespMsg"}}},
          {"IsValidated", {{"DeviceID", true, "A_ARG_TYPE_DeviceID"}, {"Result", false, "A_ARG_TYPE_Result"}}},
      },
      {
          {"A_ARG_TYPE_DeviceID", "string", false, {}},
          {"A_ARG_TYPE_Result", "int", false, {}},
          {"A_ARG_TYPE_RegistrationReqMsg", "bin.base64", false, {}},
          {"A_ARG_TYPE_RegistrationRespMsg", "bin.base64", false, {}},
          {"AuthorizationGrantedUpdateID", "ui4", true, {}},
          {"AuthorizationDeniedUpdateID", "ui4", true, {}},
          {"ValidationSucceededUpdateID", "ui4", true, {}},
          {"ValidationRevokedUpdateID", "ui4", true, {}},
      });
}

bool WriteWhole(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

}  // namespace

std::string DeviceDescription(const std::string& friendlyName, const std::string& udn) {
  std::string name = XmlEscape(friendlyName);
  std::ostringstream x;
  x << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
       "<root xmlns=\"urn:schemas-upnp-org:device-1-0\" xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">"
       "<specVersion><major>1</major><minor>0</minor></specVersion><device>"
       "<deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType>"
       "<friendlyName>" << name << "</friendlyName>"
       "<manufacturer>Tarvel</manufacturer>"
       "<modelDescription>Tarvel Media Server</modelDescription>"
       "<modelName>Tarvel Media Server</modelName><modelNumber>1.0</modelNumber>"
       "<UDN>" << XmlEscape(udn) << "</UDN>"
       "<dlna:X_DLNADOC>DMS-1.50</dlna:X_DLNADOC>"
       "<serviceList>"
       "<service><serviceType>" << kContentDirectoryType << "</serviceType>"
       "<serviceId>urn:upnp-org:serviceId:ContentDirectory</serviceId>"
       "<SCPDURL>/ContentDirectory.xml</SCPDURL><controlURL>/ContentDirectory/control</controlURL>"
       "<eventSubURL>/ContentDirectory/event</eventSubURL></service>"
       "<service><serviceType>" << kConnectionManagerType << "</serviceType>"
       "<serviceId>urn:upnp-org:serviceId:ConnectionManager</serviceId>"
       "<SCPDURL>/ConnectionManager.xml</SCPDURL><controlURL>/ConnectionManager/control</controlURL>"
       "<eventSubURL>/ConnectionManager/event</eventSubURL></service>"
       "<service><serviceType>" << kRegistrarType << "</serviceType>"
       "<serviceId>urn:microsoft.com:serviceId:X_MS_MediaReceiverRegistrar</serviceId>"
       "<SCPDURL>/X_MS_MediaReceiverRegistrar.xml</SCPDURL>"
       "<controlURL>/X_MS_MediaReceiverRegistrar/control</controlURL>"
       "<eventSubURL>/X_MS_MediaReceiverRegistrar/event</eventSubURL></service>"
       "</serviceList></device></root>\n";
  return x.str();
}

bool WriteDescriptions(const std::string& folder, const std::string& friendlyName,
                       const std::string& udn) {
  return WriteWhole(folder + "/" + kDeviceDescriptionFile, DeviceDescription(friendlyName, udn)) &&
         WriteWhole(folder + "/ContentDirectory.xml", ContentDirectoryScpd()) &&
         WriteWhole(folder + "/ConnectionManager.xml", ConnectionManagerScpd()) &&
         WriteWhole(folder + "/X_MS_MediaReceiverRegistrar.xml", RegistrarScpd());
}

std::string LoadOrMakeUdn(const std::string& file) {
  auto valid = [](const std::string& s) {
    if (s.size() != 41 || s.compare(0, 5, "uuid:") != 0) return false;
    for (size_t i = 5; i < s.size(); ++i) {
      bool dash = i == 13 || i == 18 || i == 23 || i == 28;
      if (dash ? s[i] != '-' : !isxdigit(static_cast<unsigned char>(s[i]))) return false;
    }
    return true;
  };
  {
    std::ifstream in(file);
    std::string line;
    if (in && std::getline(in, line) && valid(line)) return line;
  }
  unsigned char b[16];
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  bool got = fd >= 0 && read(fd, b, sizeof b) == static_cast<ssize_t>(sizeof b);
  if (fd >= 0) close(fd);
  if (!got) return "";
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // variant 1
  char udn[64];
  snprintf(udn, sizeof udn,
           "uuid:%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
           b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  // Written whole or not at all: a torn file would give a new identity later.
  std::string tmp = file + ".new";
  if (!WriteWhole(tmp, std::string(udn) + "\n") || rename(tmp.c_str(), file.c_str()) != 0) {
    unlink(tmp.c_str());
    return udn;  // this run still publishes; the next makes another
  }
  return udn;
}
