// Inspects the built HebrewOcrPack.exe itself: its resources, version
// information, manifest, PE headers and imports, through Windows' own
// functions where there are some; and runs a program built with the same
// options to see its stack protector at work.

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ios>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "installer/pack_types.h"
#include "tests/test_build_info.h"
#include "tests/test_support.h"

namespace {

class ExecutableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = OpenInstallerResources();
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override {
    if (module_ != nullptr)
      FreeLibrary(module_);
  }

  HMODULE module_ = nullptr;
};

// (type, name, language); string types or names are recorded as -1.
using ResourceKey = std::tuple<int, int, int>;

BOOL CALLBACK AddLanguage(HMODULE,
                          LPCWSTR type,
                          LPCWSTR name,
                          WORD language,
                          LONG_PTR found) {
  const int typeId = IS_INTRESOURCE(type) ? LOWORD(type) : -1;
  const int nameId = IS_INTRESOURCE(name) ? LOWORD(name) : -1;
  reinterpret_cast<std::vector<ResourceKey>*>(found)->emplace_back(
      typeId, nameId, language);
  return TRUE;
}

BOOL CALLBACK AddName(HMODULE module,
                      LPCWSTR type,
                      LPWSTR name,
                      LONG_PTR found) {
  EnumResourceLanguagesW(module, type, name, AddLanguage, found);
  return TRUE;
}

BOOL CALLBACK AddType(HMODULE module, LPWSTR type, LONG_PTR found) {
  EnumResourceNamesW(module, type, AddName, found);
  return TRUE;
}

TEST_F(ExecutableTest, HoldsExactlyThePayloadsVersionAndManifest) {
  std::vector<ResourceKey> found;
  EnumResourceTypesW(module_, AddType, reinterpret_cast<LONG_PTR>(&found));
  std::sort(found.begin(), found.end());

  const int rcdata = LOWORD(RT_RCDATA);
  const int english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
  const std::vector<ResourceKey> expected = {
      {rcdata, 110, english},           {rcdata, 111, english},
      {rcdata, 112, english},           {rcdata, 113, english},
      {rcdata, 114, english},           {rcdata, 115, english},
      {LOWORD(RT_VERSION), 1, english}, {LOWORD(RT_MANIFEST), 1, english},
  };
  EXPECT_EQ(found, expected);
}

TEST_F(ExecutableTest, PayloadsAreTheirFilesAndEachIdIsInTheTableOnce) {
  std::multiset<int> tableIds;
  for (const PayloadEntry& entry : PayloadTable()) {
    tableIds.insert(entry.resourceId);
    const std::string file =
        ReadFileBytes(TestDataDirectory() + entry.fileName);
    const std::string embedded = ResourceBytes(module_, entry.resourceId);
    EXPECT_FALSE(file.empty()) << ToUtf8(entry.fileName);
    EXPECT_EQ(embedded.size(), file.size()) << ToUtf8(entry.fileName);
    EXPECT_TRUE(embedded == file) << ToUtf8(entry.fileName) << " differs";
  }
  EXPECT_EQ(tableIds, (std::multiset<int>{110, 111, 112, 113, 114, 115}));
}

// One node of a VS_VERSIONINFO tree: a key, a value and children, each
// aligned to 32 bits from the start of the resource.
struct VersionNode {
  std::wstring key;
  std::wstring text;
  size_t children;
  size_t end;
};

size_t Align4(size_t offset) {
  return (offset + 3) & ~size_t(3);
}

VersionNode ReadVersionNode(const std::string& block, size_t at) {
  VersionNode node;
  WORD header[3] = {};  // wLength, wValueLength, wType
  std::memcpy(header, block.data() + at, sizeof(header));
  size_t offset = at + sizeof(header);
  for (wchar_t unit; std::memcpy(&unit, block.data() + offset, 2), unit != 0;
       offset += 2) {
    node.key.push_back(unit);
  }
  offset = Align4(offset + 2);
  const bool isText = header[2] == 1;
  const size_t valueBytes = isText ? header[1] * 2u : header[1];
  if (isText) {
    for (size_t i = 0; i < header[1]; ++i) {
      wchar_t unit;
      std::memcpy(&unit, block.data() + offset + i * 2, 2);
      if (unit == 0)
        break;
      node.text.push_back(unit);
    }
  }
  node.children = Align4(offset + valueBytes);
  node.end = at + header[0];
  return node;
}

std::vector<VersionNode> Children(const std::string& block,
                                  const VersionNode& parent) {
  std::vector<VersionNode> children;
  for (size_t at = parent.children; at < parent.end;) {
    children.push_back(ReadVersionNode(block, at));
    at = Align4(children.back().end);
  }
  return children;
}

TEST_F(ExecutableTest, VersionInformationDescribesTheProgram) {
  const std::wstring path = InstallerPath();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\",
                             reinterpret_cast<void**>(&fixed), &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, HEBREW_OCR_TEST_VERSION_MS);
  EXPECT_EQ(fixed->dwFileVersionLS, HEBREW_OCR_TEST_VERSION_LS);
  EXPECT_EQ(fixed->dwProductVersionMS, HEBREW_OCR_TEST_VERSION_MS);
  EXPECT_EQ(fixed->dwProductVersionLS, HEBREW_OCR_TEST_VERSION_LS);
  EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu);
  EXPECT_EQ(fixed->dwFileFlags, 0u);
  EXPECT_EQ(fixed->dwFileOS, 0x40004u);
  EXPECT_EQ(fixed->dwFileType, 1u);
  EXPECT_EQ(fixed->dwFileSubtype, 0u);

  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 0x04E4);

  // Windows can look strings up but not list them, so the string table is
  // read from the resource itself to see that it holds nothing else.
  std::string block;
  {
    HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(1), RT_VERSION);
    ASSERT_NE(found, nullptr);
    const char* data =
        static_cast<const char*>(LockResource(LoadResource(module_, found)));
    block.assign(data, SizeofResource(module_, found));
  }
  const VersionNode root = ReadVersionNode(block, 0);
  EXPECT_EQ(root.key, L"VS_VERSION_INFO");
  std::map<std::wstring, std::wstring> strings;
  std::vector<std::wstring> tables;
  for (const VersionNode& child : Children(block, root)) {
    if (child.key != L"StringFileInfo")
      continue;
    for (const VersionNode& table : Children(block, child)) {
      tables.push_back(table.key);
      for (const VersionNode& entry : Children(block, table))
        strings[entry.key] = entry.text;
    }
  }
  EXPECT_EQ(tables, std::vector<std::wstring>{L"040904E4"});
  const std::map<std::wstring, std::wstring> expected = {
      {L"CompanyName", HEBREW_OCR_TEST_COMPANY_NAME},
      {L"FileDescription", L"HebrewOcrPack"},
      {L"FileVersion", HEBREW_OCR_TEST_VERSION},
      {L"InternalName", L"HebrewOcrPack"},
      {L"LegalCopyright", HEBREW_OCR_TEST_COPYRIGHT},
      {L"OriginalFilename", L"HebrewOcrPack"},
      {L"ProductName", L"Quarn Paginor"},
      {L"ProductVersion", HEBREW_OCR_TEST_VERSION},
  };
  EXPECT_EQ(strings, expected);

  // Windows' own lookup agrees with the table.
  wchar_t* product = nullptr;
  ASSERT_TRUE(VerQueryValueW(info.data(),
                             L"\\StringFileInfo\\040904E4\\ProductName",
                             reinterpret_cast<void**>(&product), &length));
  EXPECT_EQ(std::wstring(product), L"Quarn Paginor");
}

TEST_F(ExecutableTest, ManifestOnlyAsksToRunAsTheCaller) {
  const std::string manifest = ResourceBytes(module_, 1, RT_MANIFEST);
  EXPECT_EQ(manifest,
            ReadFileBytes(TestDataDirectory() + L"HebrewOcrPack.manifest"));
  EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" "
                          "uiAccess=\"false\"/>"),
            std::string::npos);
  // A trust-information section and nothing else.
  for (const char* section : {"<dependency", "<compatibility", "<application",
                              "<file", "<assemblyIdentity"}) {
    EXPECT_EQ(manifest.find(section), std::string::npos) << section;
  }
}

// The PE headers of the file on disk, and a way to reach what an RVA names.
struct PeFile {
  std::string bytes;
  IMAGE_NT_HEADERS64 headers;
  std::vector<IMAGE_SECTION_HEADER> sections;
};

PeFile ReadPeFile(const std::wstring& path) {
  PeFile pe;
  pe.bytes = ReadFileBytes(path);
  IMAGE_DOS_HEADER dos;
  std::memcpy(&dos, pe.bytes.data(), sizeof(dos));
  EXPECT_EQ(dos.e_magic, IMAGE_DOS_SIGNATURE);
  std::memcpy(&pe.headers, pe.bytes.data() + dos.e_lfanew, sizeof(pe.headers));
  EXPECT_EQ(pe.headers.Signature, IMAGE_NT_SIGNATURE);
  const size_t first = dos.e_lfanew +
                       offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                       pe.headers.FileHeader.SizeOfOptionalHeader;
  pe.sections.resize(pe.headers.FileHeader.NumberOfSections);
  std::memcpy(pe.sections.data(), pe.bytes.data() + first,
              pe.sections.size() * sizeof(IMAGE_SECTION_HEADER));
  return pe;
}

// The file offset of an RVA, or 0 when no section holds it.
size_t FileOffset(const PeFile& pe, DWORD rva) {
  for (const IMAGE_SECTION_HEADER& section : pe.sections) {
    if (rva >= section.VirtualAddress &&
        rva < section.VirtualAddress + section.Misc.VirtualSize) {
      return rva - section.VirtualAddress + section.PointerToRawData;
    }
  }
  return 0;
}

TEST_F(ExecutableTest, IsAHardened64BitConsoleProgram) {
  const PeFile pe = ReadPeFile(InstallerPath());
  const IMAGE_OPTIONAL_HEADER64& optional = pe.headers.OptionalHeader;
  EXPECT_EQ(pe.headers.FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(optional.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
  EXPECT_EQ(optional.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_CUI);

  const WORD hardening = IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE |
                         IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA |
                         IMAGE_DLLCHARACTERISTICS_NX_COMPAT;
  EXPECT_EQ(optional.DllCharacteristics & hardening, hardening);
  // Randomised addresses need the relocations kept.
  EXPECT_EQ(pe.headers.FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED,
            0);
  EXPECT_GT(optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size, 0u);
  // Page-aligned sections in the file let the loader map the payloads
  // rather than copy them.
  EXPECT_EQ(optional.FileAlignment, 0x1000u);
  EXPECT_EQ(optional.SectionAlignment, 0x1000u);
  // Control-flow guard: the header bit as configured, and whenever it is
  // set, a load configuration that says the code is instrumented and lists
  // the guarded functions; the bit alone guards nothing.
  const bool guarded =
      (optional.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_GUARD_CF) != 0;
  EXPECT_EQ(guarded, HEBREW_OCR_TEST_CONTROL_FLOW_GUARD != 0);
  if (guarded) {
    const IMAGE_DATA_DIRECTORY& directory =
        optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
    const size_t at = FileOffset(pe, directory.VirtualAddress);
    ASSERT_NE(at, 0u) << "no load configuration";
    // IMAGE_LOAD_CONFIG_DIRECTORY64 by offset, as older headers lack the
    // guard fields: Size, GuardCFFunctionTable, GuardCFFunctionCount and
    // GuardFlags.
    const auto read = [&](size_t offset, size_t bytes) {
      std::uint64_t value = 0;
      if (at + offset + bytes <= pe.bytes.size())
        std::memcpy(&value, pe.bytes.data() + at + offset, bytes);
      return value;
    };
    ASSERT_GE(read(0x00, 4), 0x94u) << "the load configuration is too short";
    // The program's own imports come from System32 only.
    EXPECT_EQ(read(0x4E, 2), 0x800u) << "DependentLoadFlags";
    const std::uint64_t flags = read(0x90, 4);
    EXPECT_NE(flags & 0x100, 0u) << "code not instrumented";
    EXPECT_NE(flags & 0x400, 0u) << "no guard function table";
    EXPECT_NE(read(0x80, 8), 0u) << "no guard function table";
    EXPECT_GT(read(0x88, 8), 0u) << "no guarded functions";
  }
}

TEST_F(ExecutableTest, ImportsOnlyWindowsSystemLibraries) {
  const PeFile pe = ReadPeFile(InstallerPath());
  const IMAGE_DATA_DIRECTORY& directory =
      pe.headers.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  size_t at = FileOffset(pe, directory.VirtualAddress);
  ASSERT_NE(at, 0u);

  std::set<std::string> imported;
  std::set<std::string> functions;
  for (IMAGE_IMPORT_DESCRIPTOR import;
       std::memcpy(&import, pe.bytes.data() + at, sizeof(import)),
       import.Name != 0;
       at += sizeof(import)) {
    std::string name = pe.bytes.c_str() + FileOffset(pe, import.Name);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    imported.insert(name);
    // The lookup table: one 64-bit entry per function, imported by name
    // unless the top bit says by ordinal.
    for (size_t entry = FileOffset(pe, import.OriginalFirstThunk);;
         entry += 8) {
      std::uint64_t thunk = 0;
      std::memcpy(&thunk, pe.bytes.data() + entry, sizeof(thunk));
      if (thunk == 0)
        break;
      if ((thunk & IMAGE_ORDINAL_FLAG64) == 0) {
        functions.insert(pe.bytes.c_str() +
                         FileOffset(pe, static_cast<DWORD>(thunk)) + 2);
      }
    }
  }
  ASSERT_TRUE(functions.count("RegOpenKeyExW"))
      << "the import names were not read";
  // The stack guard is seeded from the system's random source, not through
  // the legacy crypto provider, which would load a provider DLL at start-up.
  EXPECT_FALSE(functions.count("CryptAcquireContextA"));
  EXPECT_FALSE(functions.count("CryptAcquireContextW"));

  // Windows' own DLLs and no C runtime's: the program carries none (or,
  // from MSVC, a static one).
  // ntdll, which every process has loaded, tells a file being removed from
  // one that access is denied to.
  EXPECT_EQ(imported, (std::set<std::string>{"kernel32.dll", "advapi32.dll",
                                             "ntdll.dll"}));
}

// The protector ends the program at once with a fail-fast stack-buffer
// overrun, from MSVC's /GS and from the project's own guard unit alike.
// Without a protector the probe returns normally, with 0.
TEST(StackProtectorTest, AnOverrunStackBufferStopsTheProgram) {
  constexpr DWORD kStackBufferOverrun = 0xC0000409;
  const RunResult run =
      RunProgram(ThisProgramDirectory() + L"stack_overrun_probe.exe");
  EXPECT_EQ(run.exitCode, kStackBufferOverrun)
      << "exit code 0x" << std::hex << run.exitCode
      << (run.exitCode == 0 ? ": the overrun went unnoticed" : "");
}

// A guard that an attacker can know, a constant or zero, protects nothing:
// each run seeds its own.
TEST(StackProtectorTest, EachRunHasItsOwnNonzeroGuard) {
  const std::wstring probe =
      ThisProgramDirectory() + L"stack_overrun_probe.exe";
  const RunResult first = RunProgram(probe, L"guard");
  const RunResult second = RunProgram(probe, L"guard");
  ASSERT_EQ(first.exitCode, 0u);
  ASSERT_EQ(second.exitCode, 0u);
  ASSERT_EQ(first.out.size(), 18u) << first.out;
  EXPECT_NE(first.out, std::string(16, '0') + "\r\n");
  EXPECT_NE(second.out, std::string(16, '0') + "\r\n");
  EXPECT_NE(first.out, second.out);
}

// Control-flow guard at work: the probe, built like the installer, makes
// one call through the guard to code that is not a valid target. Windows
// must stop it with the guard's fail-fast. Wine enforces no guard, so there
// the probe must pass its checks of its own guard table and its call must
// go through the guard and return; the guard table check carries the rest.
TEST(ControlFlowGuardTest, WindowsStopsACallToAnInvalidTarget) {
  const std::map<DWORD, std::string> meanings = {
      {0, "the call returned: the guard was not enforced"},
      {2, "the load configuration does not say the code is guarded"},
      {3, "the probe's function does not end with a return"},
      {4, "the guard table does not hold the function's start"},
      {5, "the guard table marks the call's target valid"},
      {6, "the call did not go through the guard"},
      {0xC0000409, "Windows stopped the call with the guard's fail-fast"}};
  const RunResult run = RunProgram(ThisProgramDirectory() + L"guard_probe.exe");
  const auto meaning = meanings.find(run.exitCode);
  const std::string said =
      meaning != meanings.end() ? meaning->second : "an unexpected end";
  DWORD expected = 0xC0000409;
  if (!HEBREW_OCR_TEST_CONTROL_FLOW_GUARD) {
    expected = 2;
    std::cout << "This build has no control-flow guard; the probe says so.\n";
  } else if (RunningUnderWine()) {
    expected = 0;
    std::cout << "Wine does not enforce control-flow guard: the probe "
                 "checked its own guard table and its call went through the "
                 "guard and returned. The guard table check proves the rest "
                 "here; on Windows the call must be stopped.\n";
  }
  EXPECT_EQ(run.exitCode, expected)
      << "exit code 0x" << std::hex << run.exitCode << ": " << said;
}

}  // namespace
