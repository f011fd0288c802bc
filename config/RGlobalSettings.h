// The server-wide settings of section [GLOBAL], as typed fields with their
// defaults, read from and written to the configuration file.
//
// The logging keys (`Logging`, `Logfile`, `LogFileRotation`, `LogIPDontLog`,
// `IPLog`, the eighteen switches and `LogFont`) belong to RFTPSLogger
// (log/RFTPSLogger.h), which reads and writes them itself.
//
// Loop thread only. The object is a snapshot: Load() again after a reload.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config/RIniFile.h"

namespace vantor {

inline constexpr const char* kGlobalSection = "GLOBAL";
inline constexpr const char* kDefaultUserSection = "USER=** Default **";
inline constexpr const char* kAnonymousSection = "USER=Anonymous";
// The version written to `Version`; its number is kProgramVersionNumber.
inline constexpr const char* kProgramVersion = "2.5.11.3";
inline constexpr int64_t kProgramVersionNumber = 2051103;

// `OpenFilesUploadMode`.
enum class RUploadMode { Any, Shared, Exclusive };

// Main window placement and look, read at start-up and saved at exit.
struct RWindowStateStr {
  bool hasPlacement = false;  // `Window` held all four numbers
  int32_t left = 0, top = 0, width = 0, height = 0;
  bool visible = true;     // at exit: the window is shown
  bool minimized = false;  // at exit: the window is minimised
  bool maximized = false;
  bool showToolBar = true;
  bool showBmpMenus = true;
};

struct RGlobalSettings {
  std::string version = "0.0.0.0";    // `Version` as written
  bool security = true;               // `Security`
  bool checkAnonPass = false;         // `CheckAnonPass`
  bool encryptPasswords = true;       // `EncryptPasswords`
  bool lowerCaseFileDir = false;      // `LowerCaseFileDir`
  int64_t speedLimit = -1;            // `SpeedLimit`, bytes per second; 0 or less: none
  bool deletePartialUploads = false;  // `DeletePartialUploads`
  bool blockFTPBounceAttack = true;   // `BlockFTPBounceAttack` (on unless "NO")
  bool blockAntiTimeOut = false;      // `BlockAntiTimeOut`
  bool dirCacheEnable = true;         // `DirCacheEnable`
  int32_t dirCacheSize = 25;          // `DirCacheSize` as read (see DirCacheEntries)
  int32_t dirCacheTime = 600;         // `DirCacheTime` as read, seconds
  int32_t dirCacheMaxMB = 64;         // `DirCacheMaxMB`: byte budget of the cache; below 1: 1
  int32_t maxListEntries = 200000;    // `MaxListEntries` of one listing; below 1: 200000
  bool autoStart = false;             // `AutoStart` (stored only; no effect here)
  int32_t portNr = 21;                // `PortNr`; outside 1..65535 keeps 21
  int32_t maxNrUsers = -1;            // `MaxNrUsers`; -1: no limit
  bool listenToIPHomesOnly = false;   // `ListenToIPHomesOnly`
  // `PassivePortRange` "low-high" (1024..65535, low <= high); 0, 0 when
  // absent or malformed: the system picks passive ports.
  int32_t passivePortLow = 0;
  int32_t passivePortHigh = 0;
  std::string passiveAddress;  // `PassiveAddress`: dotted IPv4 announced in 227, "" = none
  // `ProxyProtocolFrom`: comma list of addresses and prefixes whose
  // connections begin with a PROXY header, as written ("" = none).
  std::string proxyProtocolFrom;
  RUploadMode openFilesUploadMode = RUploadMode::Any;  // `OpenFilesUploadMode`
  std::string dirListMask = "rwxrwxrwx";  // `DirListMask`; nine of "rwx-" else the default
  std::string dirChangeMesFile;           // `DirChangeMesFile`
  std::string dirChangeMesFile2;          // `DirChangeMesFile2`
  std::string linkFile;                   // `LinkFile`
  std::string linkFile2;                  // `LinkFile2`
  bool antiHammer = false;                // `AntiHammer`
  int32_t antiHammerWindow = 30;          // `AntiHammerWindow`, seconds; below 1: 30
  int32_t antiHammerTries = 4;            // `AntiHammerTries`; below 1: 4
  int32_t antiHammerBlock = 300;          // `AntiHammerBlock`, seconds; below 1: 300
  // Socket options: -1 when the key is absent (the option is then left alone),
  // else 0/1 for the switches and the number for the others.
  int32_t socketInlineOOB = -1;  // `SocketInlineOOB`
  int32_t socketKeepAlive = -1;  // `SocketKeepAlive`
  int32_t socketNoNagle = -1;    // `SocketNoNagle`
  int32_t socketRcvBuffer = -1;  // `SocketRcvBuffer`
  int32_t socketSndBuffer = -1;  // `SocketSndBuffer`
  int32_t packetTimeOut = -1;    // `PacketTimeOut`, seconds
  bool passivePeerCheck = true;  // `PassivePeerCheck`: passive data only from the client
  int32_t loginTimeLimit = 60;   // `LoginTimeLimit`, seconds to log in; 0 or less: none
  // `MaxPreLoginPerIP`; 0 or less: no limit. Not set: 256, and at most
  // three quarters of `MaxNrUsers` (at least 1) when that is set.
  int32_t maxPreLoginPerIP = 256;
  // TLS (FTPS): on when the certificate and key load.
  std::string tlsCertificateFile;   // `TLSCertificateFile`, PEM (chain allowed)
  std::string tlsPrivateKeyFile;    // `TLSPrivateKeyFile`, PEM
  int32_t tlsImplicitPortNr = 0;    // `TLSImplicitPortNr`; 0 = no implicit listener
  bool tlsMin13 = false;            // `TLSMinProtocol` TLSv1.3 (default TLSv1.2)
  std::string tlsCipherList;        // `TLSCipherList` (TLS 1.2), "" = OpenSSL's default
  std::string tlsCipherSuites;      // `TLSCipherSuites` (TLS 1.3), "" = OpenSSL's default
  bool tlsDataSessionReuse = true;  // `TLSDataSessionReuse`
  int32_t tlsMaxHandshakes = 100;   // `TLSMaxHandshakes`: control handshakes at once
  int32_t workerThreads = 2;        // `WorkerThreads`, 1..16; else 2
  int32_t workerQueue = 64;         // `WorkerQueue`: jobs waiting for a worker, 1..10000; else 64
  int32_t dataThreads = 0;          // `DataThreads`, 1..256; else (and unset) the online CPUs
  bool metricsPerUser = false;      // `MetricsPerUser`: per-account series in the metrics
  RWindowStateStr window;           // `Window`, `StartIconic`, `StartMaximized`, ...
  bool startIconic = false;         // `StartIconic` (strict rule)
  bool invisible = false;           // `Invisible` (strict rule)
  std::string userInfoWin;          // `UserInfoWin`

  // Reads every key of [GLOBAL]; a missing or malformed value keeps its
  // default (reset first, so a reload forgets keys that were removed).
  void Load(const RIniFile& ini);

  // The directory cache as configured: 1 entry for 5 seconds when disabled,
  // else `DirCacheSize` (at most 150) and `DirCacheTime`.
  int32_t DirCacheEntries() const;
  int32_t DirCacheSeconds() const;
  // `Version` a.b.c.d as a*1000000 + b*10000 + c*100 + d; 0 when missing or
  // not four numbers.
  int64_t VersionNumber() const;

  // Server settings dialog: `SpeedLimit`, `Security`, `CheckAnonPass`,
  // `DeletePartialUploads`, `BlockFTPBounceAttack`, `EncryptPasswords`,
  // `BlockAntiTimeOut`, `AutoStart`, `LowerCaseFileDir`, then the directory
  // cache keys, each in its written form, in one atomic write. The [RATIOS]
  // section belongs to the account store, which saves it after this call.
  // When security is off, "SECURITY SWITCHED OFF! - NO ACCESS RESTRICTIONS"
  // is logged as a plain screen line.
  [[nodiscard]] bool SaveServerSettings(RIniFile& ini) const;
  // FTP server dialog keys: `PortNr` (removed when 21), `MaxNrUsers`
  // (removed when -1), `ListenToIPHomesOnly` ("YES" or removed),
  // `PassivePortRange`, `PassiveAddress` and `ProxyProtocolFrom` (removed
  // when unset),
  // `OpenFilesUploadMode` (removed for Any), the message and link file names
  // (removed when empty).
  [[nodiscard]] bool SaveFtpServerSettings(RIniFile& ini) const;
  // At exit: `Window` and `StartIconic`="No" when the window is visible and
  // not minimised, else `StartIconic`="Yes"; `StartMaximized`, `ShowToolBar`,
  // `ShowBmpMenus` as "Yes"/"No". Does nothing (true) when the file is gone.
  [[nodiscard]] static bool SaveExitSettings(RIniFile& ini, const RWindowStateStr& w);
};

// `PassivePortRange`: "low-high", both 1024..65535, low <= high, nothing
// else. False (and 0, 0) otherwise.
bool ParsePassiveRange(std::string_view text, int32_t& low, int32_t& high);

// `DirListMask`: nine letters of "rwx-" ("rwxr-x---"), nothing else.
bool ValidListMask(std::string_view mask);

// "2.5.11.3" -> 2051103; nullopt-like 0 when the text is not four numbers.
int64_t VersionTextToNumber(std::string_view text);

}  // namespace vantor
