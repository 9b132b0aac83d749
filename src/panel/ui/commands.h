// Command identifiers of the menus, and the images and templates by number.
#pragma once

namespace cmd {
inline constexpr int kShowSheet = 32771;       // "&Show Media Server"
inline constexpr int kShowDropWindow = 32772;  // "&Show Drop Window"
inline constexpr int kAbout = 32773;           // "&About..."
inline constexpr int kExit = 32774;            // "&Exit"
inline constexpr int kOperateDelete = 32775;   // "&Delete"
inline constexpr int kOperateRescan = 32776;   // "&Rescan a shared folder"
inline constexpr int kRadioDelete = 32777;     // "&Delete" of the station list
inline constexpr int kStartAtLogin = 32778;    // "Start at &login"
}  // namespace cmd

namespace res {
inline constexpr int kProgramIcon = 128;
inline constexpr int kSharedFolderPage = 129;
inline constexpr int kRadioListPage = 130;
inline constexpr int kTrayMenu = 145;
inline constexpr int kStationIcon = 146;
inline constexpr int kSearchIcon = 149;
inline constexpr int kSourceSearchDialog = 151;
inline constexpr int kFolderMenu = 152;
inline constexpr int kDriveImages = 153;
inline constexpr int kScanDiskDialog = 154;
inline constexpr int kRadioMenu = 155;
inline constexpr int kAboutPage = 156;
inline constexpr int kAboutBox = 157;
inline constexpr int kSkin = 158;
inline constexpr int kHostNamePage = 161;
inline constexpr int kBanner = 166;
}  // namespace res
