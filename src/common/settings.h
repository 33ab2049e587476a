// Process-wide settings. Written by servermain (and the settings reader it
// calls) before any other thread starts; read everywhere afterwards without
// locks. Field names are the settings-file keys.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int kUserNameCap = 63;
#include "common/record.h"

struct ServerSettings {
  char HostName[260 + 1];
  char ListenIP[16];
  int32_t ListenPort;
  uint32_t RxTimeOut;
  int32_t FakeSmtp;
  int32_t LogHost;
  int32_t QuerySenderBase;
  char CYMRU_ORG[260 + 1];
  char CYMRU_ASN[260 + 1];
  char SB_SUFFIX[260 + 1];
  char TLD_SUFFIX[260 + 1];
  char BestGuess[260 + 1];
  char FallBack[260 + 1];
  int32_t UseWhitelist;
  int32_t Threads;
  int32_t Backlog;
  int32_t QueueSize;
  int32_t TarpitTime;
  char LogPath[260 + 1];
  int32_t LogLevel;
  // Optional "[DNSinfo] NameServer": comma-separated address[:port] list;
  // empty means the system's resolver configuration.
  char NameServer[260 + 1];
  // Optional "[Process] User": who a server started as root runs as once
  // its port is bound; empty means kDefaultUser when that user exists.
  char User[kUserNameCap + 1];
  // Optional "[DNSinfo] DnsCache": answers kept by the process-wide DNS
  // cache (0: no cache).
  int32_t DnsCache;
  // Optional "[Process] AnalysisBacklog": records waiting for analysis
  // beyond which a record is logged without DNS data (0: no cap).
  int32_t AnalysisBacklog;
  // Optional "[Process] MaxSessions": sessions held at once, over all
  // workers; more connections wait in the connection queue.
  int32_t MaxSessions;
  // Optional "[Process] MaxSessionsPerAddress": connections one client
  // address holds or has queued at once (0: no limit); more are refused.
  int32_t MaxSessionsPerAddress;
  // Optional "[Logging] DebugOutput": every diagnostic message, whatever
  // the level, also to the system's debug channel (syslog on Linux).
  int32_t DebugOutput;
  // Optional "[Logging] SystemLog": each connection line also to the
  // system's log: "1" the journal when one runs, else /dev/log; a path:
  // the syslog socket of that path; empty or "0": off.
  char SystemLog[260 + 1];
  // Optional "[Metrics] Listen": address:port of the Prometheus page
  // (GET /metrics); empty: no page.
  char MetricsListen[63 + 1];
  // Optional "[Logging] JsonLines": besides each connection line, a JSON
  // object of everything known about the connection in ipinfoYYYYMMDD.jsonl.
  int32_t JsonLines;
};

extern ServerSettings settings;

// Built-in defaults; the settings file writes the same values.
constexpr const char* kProgramName = "nestrap";
// The project's version, and the commit when built from a checkout.
extern const char* const kProgramVersion;
constexpr int kDefaultPort = 25;
constexpr long kDefaultRxTimeOut = 30000;
constexpr int kDefaultThreads = 7;
constexpr int kDefaultBacklog = 128;
constexpr int kDefaultQueueSize = 64;
constexpr long kDefaultTarpit = 0;
constexpr int kDefaultLogLevel = 3;
constexpr const char* kDefaultUser = "nestrap";
constexpr int kDefaultDnsCache = 50000;
// About 64 MiB of records.
constexpr int kDefaultAnalysisBacklog = (int)((64u << 20) / sizeof(ConnectionRecord));
constexpr int kDefaultMaxSessions = 4096;
constexpr int kDefaultMaxSessionsPerAddress = 50;
constexpr const char* kDefaultBestGuess = "v=spf1 a/24 mx/24 ptr ~all";
constexpr const char* kDefaultFallBack = "v=spf1 a -all";
// Public DNS information services.
constexpr const char* kDefaultCymruOrg = "origin.asn.cymru.com";
constexpr const char* kDefaultCymruAsn = "asn.cymru.com";
constexpr const char* kDefaultSbSuffix = "query.senderbase.org";
constexpr const char* kDefaultTldSuffix = "zz.countries.nerd.dk";
// Trusted-forwarder SPF zone used when UseWhitelist is on.
constexpr const char* kTrustedForwarderZone = "spf.trusted-forwarder.org";

// Sets the built-in defaults (LogPath = current directory or ".").
void setdefaults();
// Writes the default settings file when `path` is missing or empty; its
// LogPath is `logpath`, or the current directory when that is null.
void writeconfig(const char* path, const char* logpath = nullptr);
// writeconfig (with `logpath`), then reads every key into `settings`.
// Returns 1; 0 when a number does not fit its key (the key keeps its
// default), the first such setting described in `misfit`
// ("[Process] MaxSessions=4294967297").
int readconfig(const char* path, char* misfit = nullptr, size_t misfitsize = 0,
               const char* logpath = nullptr);
// Best name for the local host, for an empty HostName setting, into a buffer
// of at least 261 bytes that is not cleared first. Returns 1 when a name was
// found by reverse lookup.
int localhostname(char* buf);
