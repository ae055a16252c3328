// Entry point: one run installs the Hebrew language pack into the host's OCR
// resource directory and reports the outcome in one line on standard output
// and in the exit status. The flow: look the host up, check that the pack
// fits, claim every file and keep the installed ones, write the pack, and
// put it back when writing fails part way.

#include "installer/main.h"

#include <windows.h>

#include "installer/claim.h"
#include "installer/control_events.h"
#include "installer/file_handle.h"
#include "installer/host_lookup.h"
#include "installer/pack_types.h"
#include "installer/payload_writer.h"
#include "installer/report.h"
#include "installer/rollback.h"
#include "installer/space_check.h"

int wmain(int /*argc*/, wchar_t* /*argv*/[], wchar_t* /*envp*/[]) {
  // Ctrl+C, a closed window, shutdown and a log-off of the run's own
  // session end the run, but never in a step that must not be cut; a
  // log-off seen in session 0 is ignored. One handler for the whole run,
  // from its first moment.
  HandleControlEvents();
  // Installers are often started, elevated, from a downloads folder where
  // anyone may have left a DLL: every DLL loaded from here on comes from
  // System32 alone. A failure only leaves the default search order, so it
  // changes nothing the run reports.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // An elevated run must write only the files it names. Any user may be
  // able to write a host folder that sits directly under C:\, and plant a
  // junction there: with redirection trust, the system does not follow
  // junctions that were made without administrator rights. Windows before
  // this mitigation refuses the call; the claim's own checks of each file's
  // name still hold there.
  PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY trust = {};
  trust.EnforceRedirectionTrust = 1;
  SetProcessMitigationPolicy(ProcessRedirectionTrustPolicy, &trust,
                             sizeof(trust));

  PathText directory;
  const wchar_t kSubPath[] = L"IRIS_OCR\\resources\\";
  if (!GetOcrResourceDirectory(kSubPath, directory)) {
    // The lookup reads the value into a buffer of 260 units, and reads a
    // longer value as no host at all, so with this 19-unit sub-path the
    // folder always fits in a path. Were a longer sub-path ever to overflow
    // it, the install stops here rather than work on a path cut short.
    // Each line is printed with control events held off and the run then
    // settled, so that a run which printed its line ends with that line's
    // status, whatever event comes after it.
    HoldOffControlEvents();
    ReportPathTooLong(kSubPath);
    return SettleRun(kExitInstallFailed);
  }

  if (directory.empty()) {
    HoldOffControlEvents();
    ReportNotInstalled();
    return SettleRun(kExitSuccess);
  }

  // A pack that does not fit must not start: each file is truncated before
  // its payload is written, so running out of space part way would leave
  // the installed files destroyed and the new ones partial.
  const PayloadEntry* table = GetPayloadTable();
  std::uint64_t needed = 0;
  std::uint64_t available = 0;
  if (!PackFits(directory, table, kPayloadCount, needed, available)) {
    HoldOffControlEvents();
    ReportNotEnoughSpace(directory, needed, available);
    return SettleRun(kExitInstallFailed);
  }

  // Every file is opened, and locked when it is there, and the bytes of
  // those it replaces are kept in memory, before any is changed, so that a
  // file that cannot be written now (the host's engine holding it, say)
  // fails the install with the installed pack as it was.
  FileHandle folder;
  ClaimedFile claims[kPayloadCount];
  KeptBytes kept;
  if (!ClaimTargets(directory, table, kPayloadCount, folder, claims) ||
      !KeepInstalledFiles(claims, kPayloadCount, kept)) {
    ReleaseClaims(claims, kPayloadCount);
    HoldOffControlEvents();
    return SettleRun(
        ReportFailedFiles(directory, table, claims, kPayloadCount));
  }

  // What cannot be seen beforehand (a file mapped by another program, a
  // disk that fills up or fails) stops the install at the first failure,
  // and the pack is put back as it was: the engine must never load new
  // files with old ones. From the first truncation until the pack is whole
  // again, written or put back, and its line is printed, control events
  // wait; the run then ends with the status that goes with its line.
  HoldOffControlEvents();
  bool written = true;
  for (std::size_t i = 0; i < kPayloadCount && written; ++i)
    written = WritePayloadFile(claims[i]);
  // The files that the install created are marked for removal until the
  // whole pack is written; now they are kept.
  if (!written || !KeepCreatedFiles(claims, kPayloadCount)) {
    PutBackInstalledFiles(claims, kPayloadCount);
    return SettleRun(
        ReportFailedFiles(directory, table, claims, kPayloadCount));
  }

  // Every file now holds its payload in full. A handle that fails to close
  // is reported; its bytes have all been written, and with the handle gone
  // nothing could be put back through it.
  bool closedAll = true;
  for (std::size_t i = 0; i < kPayloadCount; ++i) {
    if (!CloseClaim(claims[i])) {
      claims[i].failure = {FileStep::kClose, GetLastError(), 0};
      closedAll = false;
    }
  }
  int status = kExitSuccess;
  if (closedAll)
    ReportCompleted();
  else
    status = ReportFailedFiles(directory, table, claims, kPayloadCount);
  return SettleRun(status);
}
