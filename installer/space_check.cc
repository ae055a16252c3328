// The space check. Each file is truncated before its payload is written, so
// running out of space part way would leave the installed files destroyed
// and the new ones partial: a pack that does not fit must not start.

#include "installer/space_check.h"

#include <windows.h>

#include "installer/payload_writer.h"
#include "installer/system_path.h"

namespace {

// The size of the file at `systemPath`, or 0 when there is none.
std::uint64_t ExistingFileSize(const PathText& systemPath) {
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (!GetFileAttributesExW(systemPath.units, GetFileExInfoStandard,
                            &attributes) ||
      (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return 0;
  }
  return (std::uint64_t{attributes.nFileSizeHigh} << 32) |
         attributes.nFileSizeLow;
}

}  // namespace

std::uint64_t SpaceNeeded(const SizeChange* changes,
                          std::size_t count,
                          std::uint64_t clusterSize) {
  const std::uint64_t cluster = clusterSize != 0 ? clusterSize : 1;
  const auto clusters = [cluster](std::uint64_t bytes) {
    return (bytes / cluster + (bytes % cluster != 0 ? 1 : 0)) * cluster;
  };
  // `taken` may dip below zero while old files give back more than their
  // payloads take; only the highest point counts.
  std::int64_t taken = 0;
  std::int64_t peak = 0;
  for (std::size_t i = 0; i < count; ++i) {
    taken -= static_cast<std::int64_t>(clusters(changes[i].oldSize));
    taken += static_cast<std::int64_t>(clusters(changes[i].newSize));
    if (taken > peak)
      peak = taken;
  }
  return static_cast<std::uint64_t>(peak);
}

bool PackFits(const PathText& directory,
              const PayloadEntry* table,
              std::size_t count,
              std::uint64_t& needed,
              std::uint64_t& available) {
  needed = 0;
  available = 0;
  ULARGE_INTEGER freeToCaller;
  wchar_t volume[MAX_PATH + 1] = {};
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0,
        totalClusters = 0;
  PathText systemDirectory;
  if (MakeSystemPath(directory, systemDirectory).step != FileStep::kNone ||
      !GetDiskFreeSpaceExW(systemDirectory.units, &freeToCaller, nullptr,
                           nullptr) ||
      !GetVolumePathNameW(systemDirectory.units, volume, MAX_PATH + 1) ||
      !GetDiskFreeSpaceW(volume, &sectorsPerCluster, &bytesPerSector,
                         &freeClusters, &totalClusters)) {
    return true;
  }

  // A payload missing from this program, or a path too long, stops the
  // install before any file is written; it takes nothing.
  SizeChange changes[kPayloadCount];
  std::size_t changed = 0;
  for (std::size_t i = 0; i < count && changed < kPayloadCount; ++i) {
    const char* data = nullptr;
    std::uint32_t size = 0;
    FileFailure ignored;
    PathText path;
    if (MakeTargetPath(systemDirectory, table[i], path) &&
        FindPayload(table[i], data, size, ignored)) {
      changes[changed++] = {ExistingFileSize(path), size};
    }
  }
  needed = SpaceNeeded(
      changes, changed,
      std::uint64_t{sectorsPerCluster} * std::uint64_t{bytesPerSector});
  available = freeToCaller.QuadPart;
  return needed <= available;
}
