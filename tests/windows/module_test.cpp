// The Windows module as a host sees it, run under Wine: loading and unloading with the calls MFC receives, the
// resources, and the blur on real files. Prints one line per check ("ok - ..." or "FAIL - ...") and a last line
// "N checks, M failed"; the test scripts judge by those lines.
//
// usage: module_test loading WORKDIR | resources | files WORKDIR SAMPLE
// WORKDIR must exist; the files section leaves its inputs and outputs there, listed in linux-compare.txt.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <oleauto.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "VostrelMistvane.h"
#include "mfc_stand_in_log.h"
#include "test_bitmaps.h"

namespace {

int checkCount;
int failureCount;

void Check(bool ok, const std::string& what, const std::string& detail = "") {
    ++checkCount;
    if (!ok) ++failureCount;
    std::printf("%s - %s", ok ? "ok" : "FAIL", what.c_str());
    if (!ok && !detail.empty()) std::printf(" (%s)", detail.c_str());
    std::printf("\n");
    std::fflush(stdout);
}

std::string Hex(uintptr_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", (unsigned long long)value);
    return text;
}

std::string Narrow(const std::wstring& text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes - 1 : 0, '\0');
    if (bytes > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], bytes, nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& text) {
    int units = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(units > 0 ? units - 1 : 0, L'\0');
    if (units > 1) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], units);
    return out;
}

std::wstring ProgramDirectory() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    return directory.substr(0, directory.find_last_of(L"\\/") + 1);
}

const std::wstring kModuleName = L"VostrelMistvane.dll";

std::wstring ModulePath() {
    return ProgramDirectory() + kModuleName;
}

bool WriteBytes(const std::wstring& path, const std::vector<uint8_t>& bytes) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (!file) return false;
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

std::vector<uint8_t> ReadBytes(const std::wstring& path) {
    std::vector<uint8_t> bytes;
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (!file) return bytes;
    uint8_t buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
    std::fclose(file);
    return bytes;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::set<std::wstring> DirectoryNames(const std::wstring& directory) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.insert(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

// The module's entry point, found through its headers, so that notifications can be delivered by hand.
typedef BOOL(WINAPI* EntryPoint)(HINSTANCE, DWORD, LPVOID);

EntryPoint FindEntryPoint(HMODULE module) {
    const uint8_t* base = reinterpret_cast<const uint8_t*>(module);
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return reinterpret_cast<EntryPoint>(const_cast<uint8_t*>(base) + nt->OptionalHeader.AddressOfEntryPoint);
}

size_t ImageSize(HMODULE module) {
    const uint8_t* base = reinterpret_cast<const uint8_t*>(module);
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew)->OptionalHeader.SizeOfImage;
}

// An exported function by name, as its own type.
template <typename Function>
Function FindFunction(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

MistvaneFunction FindMistvane(HMODULE module) {
    return FindFunction<MistvaneFunction>(module, "Mistvane");
}

// ---------------------------------------------------------------------------------------------------------------
// Loading and unloading

struct MfcView {
    MfcStandInLog* log;
    CRuntimeClass hostClass = {"CHostView", 0, 1, nullptr, nullptr, nullptr};
    COleObjectFactory hostFactory = {};

    // A fresh log, and a module state as MFC's would be before a load, holding the host's own class and factory.
    void Reset() { log->reset(&hostClass, &hostFactory); }

    // The four fields as MFC's own raw attach hook leaves them: the heads parked, the lists empty.
    bool HookLeft(const AFX_MODULE_STATE& state) const {
        return state.m_pClassInit == &hostClass && state.m_classList.m_pHead == nullptr &&
               state.m_pFactoryInit == &hostFactory && state.m_factoryList.m_pHead == nullptr;
    }

    std::string Ordinals(int from = 0) const {
        std::string text;
        for (int k = from; k < log->callCount && k < MfcStandInLog::kCapacity; ++k)
            text += (text.empty() ? "" : " ") + std::to_string(log->calls[k].ordinal);
        return "[" + text + "]";
    }

    const MfcStandInCall& Call(int k) const { return log->calls[k]; }
};

// Where two module states first differ (FirstDifference), for a check's detail; "" when they agree.
std::string Difference(const AFX_MODULE_STATE& a, const AFX_MODULE_STATE& b, bool skipHookFields,
                       bool skipLibraryHead) {
    size_t at = FirstDifference(&a, &b, skipHookFields, skipLibraryHead);
    return at == sizeof(AFX_MODULE_STATE) ? "" : "first difference at " + Hex(at);
}

bool WithinImage(uintptr_t address, HMODULE module) {
    uintptr_t base = reinterpret_cast<uintptr_t>(module);
    return address >= base && address < base + ImageSize(module);
}

// A small BMP in the working directory, and Mistvane run on it: whether the module works.
bool BlurWorks(MistvaneFunction mistvane, const std::wstring& name) {
    TestBitmap bmp = MakeBitmap({.width = 9, .height = 5});
    std::wstring input = name + L"-in.bmp", output = name + L"-out.bmp";
    if (!mistvane || !WriteBytes(input, bmp.bytes)) return false;
    bool works = mistvane(input.c_str(), output.c_str()) == MistvaneStatusDone && ReadBytes(output) == ExpectedOutput(bmp);
    DeleteFileW(input.c_str());
    DeleteFileW(output.c_str());
    return works;
}

struct ThreadWork {
    static DWORD WINAPI Run(LPVOID) { return 0; }
};

// A module state whose link-offset word at `field` holds `value`: another MFC's. The module must refuse to load,
// having written nothing and called nothing but the module state's getter and, after the loader's detach, the
// termination of a record MFC never initialised.
void CheckOtherMfc(MfcView& mfcView, size_t* field, size_t value, const std::string& what) {
    mfcView.Reset();
    *field = value;
    AFX_MODULE_STATE before = *mfcView.log->state;
    HMODULE module = LoadLibraryW(ModulePath().c_str());
    Check(module == nullptr, what);
    Check(mfcView.Ordinals() == "[644 699]", "  ... after asking for the module state alone", mfcView.Ordinals());
    std::string difference = Difference(before, *mfcView.log->state, false, false);
    Check(difference.empty(), "  ... with nothing written to it", difference);
    if (module) FreeLibrary(module);
}

void TestLoading() {
    std::wstring directory = ProgramDirectory();
    HMODULE mfc = LoadLibraryW((directory + L"mfcce300.dll").c_str());
    StandInMfcLogFunction logFunction = mfc ? FindFunction<StandInMfcLogFunction>(mfc, "StandInMfcLog") : nullptr;
    Check(logFunction != nullptr, "the stand-in MFC library loads and shows its log");
    if (!logFunction) return;
    MfcView mfcView;
    mfcView.log = logFunction();
    MfcStandInLog* log = mfcView.log;
    AFX_MODULE_STATE* state = log->state;

    // A plain load.
    mfcView.Reset();
    AFX_MODULE_STATE initial = *state;
    HMODULE module = LoadLibraryW(ModulePath().c_str());
    Check(module != nullptr, "LoadLibraryW loads the module", "error " + std::to_string(GetLastError()));
    if (!module) return;
    FARPROC byName = GetProcAddress(module, "Mistvane");
    FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(1));
    Check(byName != nullptr, "Mistvane is found by name");
    Check(byOrdinal == byName, "ordinal 1 is Mistvane", Hex((uintptr_t)byOrdinal) + " vs " + Hex((uintptr_t)byName));
    Check(GetProcAddress(module, MAKEINTRESOURCEA(2)) == nullptr && GetProcAddress(module, "DllMain") == nullptr,
          "nothing else is exported");

    Check(mfcView.Ordinals() == "[644 655 315 88]",
          "attach: module state, initialise the record, allocate, construct the chain object",
          "calls " + mfcView.Ordinals());
    uintptr_t record = 0;
    AFX_MODULE_STATE attached = *state;
    if (log->callCount == 4) {
        const MfcStandInCall& stateCall = mfcView.Call(0);
        const MfcStandInCall& init = mfcView.Call(1);
        const MfcStandInCall& allocate = mfcView.Call(2);
        const MfcStandInCall& construct = mfcView.Call(3);
        record = init.arguments[0];
        Check(stateCall.result == (uintptr_t)state, "the raw attach hook asks for the current module state");
        Check(mfcView.HookLeft(init.stateAtCall),
              "before initialisation the hook moved the class and factory lists to the saved-initial fields");
        std::string difference = Difference(initial, init.stateAtCall, true, false);
        Check(difference.empty(), "the hook wrote nothing else of the module state", difference);
        Check(WithinImage(record, module), "the extension-module record is the module's own storage", Hex(record));
        Check(init.arguments[1] == (uintptr_t)module, "the record is initialised with the module's instance handle",
              Hex(init.arguments[1]) + " vs " + Hex((uintptr_t)module));
        Check(init.recordAfterCall.bInitialized == 1 && init.recordAfterCall.hModule == module && init.result == 1,
              "MFC initialised the record");
        // Room for CDynLinkLibrary of MFC's build, and of one with nested derivation (two words more).
        Check(allocate.arguments[0] >= sizeof(CDynLinkLibrary) + 2 * sizeof(void*) && allocate.result != 0,
              "the chain object's storage comes from MFC's allocation operator, room for MFC's object",
              "size " + std::to_string(allocate.arguments[0]) + ", MFC's object " +
                  std::to_string(sizeof(CDynLinkLibrary)));
        Check(construct.arguments[0] == allocate.result && construct.arguments[1] == record &&
                  construct.arguments[2] == 0,
              "the chain object is constructed in that storage for the record, not as a system module");
        const CDynLinkLibrary* chain = static_cast<const CDynLinkLibrary*>(state->m_libraryList.m_pHead);
        Check(chain == (CDynLinkLibrary*)allocate.result && chain->m_hModule == module && chain->m_pNextDLL == nullptr &&
                  chain->target.vtable == log->chainObjectVtable,
              "the chain object is in MFC's chain, for the module");
        Check(state->m_pClassInit == &mfcView.hostClass && state->m_classList.m_pHead == &mfcView.hostClass &&
                  state->m_pFactoryInit == &mfcView.hostFactory && state->m_factoryList.m_pHead == &mfcView.hostFactory,
              "after attach MFC has its lists back, the saved-initial fields as the hook left them");
        difference = Difference(initial, *state, true, true);
        Check(difference.empty(), "after attach every other byte of the module state but the chain's head is as it was",
              difference);
    }
    Check(BlurWorks(FindMistvane(module), L"loaded"), "Mistvane works once loaded");

    // Thread notifications: from the loader, for a thread that starts and ends, and delivered by hand.
    if (record) {
        AFX_EXTENSION_MODULE before = *(AFX_EXTENSION_MODULE*)record;
        int callsBefore = log->callCount;
        HANDLE thread = CreateThread(nullptr, 0, ThreadWork::Run, nullptr, 0, nullptr);
        Check(thread && WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0, "a thread starts and ends");
        if (thread) CloseHandle(thread);
        EntryPoint entry = FindEntryPoint(module);
        BOOL threadAttached = entry((HINSTANCE)module, DLL_THREAD_ATTACH, nullptr);
        BOOL threadDetached = entry((HINSTANCE)module, DLL_THREAD_DETACH, nullptr);
        Check(threadAttached == 1 && threadDetached == 1, "thread attach and thread detach return 1",
              std::to_string(threadAttached) + ", " + std::to_string(threadDetached));
        Check(log->callCount == callsBefore, "thread notifications make no MFC call", "calls " + mfcView.Ordinals(callsBefore));
        Check(std::memcmp(&before, (AFX_EXTENSION_MODULE*)record, sizeof before) == 0,
              "thread notifications leave the extension-module record as it was");
        std::string difference = Difference(attached, *state, false, false);
        Check(difference.empty(), "thread notifications leave the module state as it was", difference);
        Check(BlurWorks(FindMistvane(module), L"threads"), "Mistvane works after thread notifications");
    }

    int callsBeforeUnload = log->callCount;
    Check(FreeLibrary(module) != 0, "FreeLibrary unloads the module");
    Check(GetModuleHandleW(kModuleName.c_str()) == nullptr, "the module is no longer mapped");
    Check(mfcView.Ordinals(callsBeforeUnload) == "[699]", "detach: terminate the record, nothing else",
          "calls " + mfcView.Ordinals(callsBeforeUnload));
    if (log->callCount == callsBeforeUnload + 1) {
        const MfcStandInCall& term = mfcView.Call(callsBeforeUnload);
        Check(term.arguments[0] == record && term.arguments[1] == 0,
              "the same record is terminated, for this module's entries only", Hex(term.arguments[0]));
    }
    Check(state->m_libraryList.m_pHead == nullptr, "MFC deleted the chain object at termination");
    std::string difference = Difference(attached, *state, false, true);
    Check(difference.empty(), "after detach the module state is as attach left it but for the chain", difference);
    int initialisations = 0, terminations = 0;
    for (int k = 0; k < log->callCount; ++k) {
        initialisations += log->calls[k].ordinal == 655;
        terminations += log->calls[k].ordinal == 699;
    }
    Check(initialisations == 1 && terminations == 1, "one load initialises the record once and terminates it once");

    // MFC refuses the extension module: the load fails, and the desktop loader's detach terminates the record
    // (Windows CE's loader sends none).
    mfcView.Reset();
    log->failInitialisation = 1;
    SetLastError(0);
    HMODULE refused = LoadLibraryW(ModulePath().c_str());
    DWORD error = GetLastError();
    Check(refused == nullptr, "a failing MFC initialisation makes LoadLibraryW fail");
    Check(error == ERROR_DLL_INIT_FAILED, "the loader reports the failed initialisation", std::to_string(error));
    Check(mfcView.Ordinals() == "[644 655 699]",
          "nothing is allocated or constructed after the failure; the detach that follows terminates the record",
          "calls " + mfcView.Ordinals());
    Check(GetModuleHandleW(kModuleName.c_str()) == nullptr, "the refused module is not left mapped");
    if (refused) FreeLibrary(refused);

    // The allocation gives null: the module loads without its chain object and still works.
    mfcView.Reset();
    log->failAllocation = 1;
    HMODULE unchained = LoadLibraryW(ModulePath().c_str());
    Check(unchained != nullptr, "a null allocation still lets the module load");
    Check(mfcView.Ordinals() == "[644 655 315]", "no chain object is constructed in null storage",
          "calls " + mfcView.Ordinals());
    Check(state->m_libraryList.m_pHead == nullptr, "no chain object is in MFC's chain");
    if (unchained) {
        Check(BlurWorks(FindMistvane(unchained), L"unchained"), "Mistvane works without the chain object");
        int callsBefore = log->callCount;
        FreeLibrary(unchained);
        Check(mfcView.Ordinals(callsBefore) == "[699]", "unloading terminates the record", mfcView.Ordinals(callsBefore));
    }

    // Module states of other MFC builds: another class link offset is another layout; without OLE support the
    // factory fields do not exist. With nested derivation the factory's link is two words further: accepted.
    CheckOtherMfc(mfcView, &state->m_classList.m_nNextOffset, 0x18,
                  "a module state with another class link offset refuses the load");
    CheckOtherMfc(mfcView, &state->m_factoryList.m_nNextOffset, offsetof(CRuntimeClass, m_pNextClass),
                  "a module state without the factory list's link offset (MFC without OLE) refuses the load");
    mfcView.Reset();
    state->m_factoryList.m_nNextOffset = offsetof(COleObjectFactory, m_pNextFactory) + 2 * sizeof(void*);
    HMODULE nested = LoadLibraryW(ModulePath().c_str());
    Check(nested != nullptr && mfcView.Ordinals() == "[644 655 315 88]",
          "an MFC built with nested derivation is accepted", mfcView.Ordinals());
    if (nested) FreeLibrary(nested);
    mfcView.Reset();
}

// ---------------------------------------------------------------------------------------------------------------
// Resources

struct VersionNode {
    std::wstring key;
    const uint8_t* value = nullptr;
    uint16_t valueLength = 0;  // in the units the node's type uses (characters for text)
    uint16_t type = 0;         // 1 text, 0 binary
    std::vector<VersionNode> children;
};

size_t Align4(size_t offset) {
    return (offset + 3) & ~(size_t)3;
}

// One node of a version block and its children: length, value length, type, key, padding, value, padding,
// children. False when the lengths do not fit together.
bool ParseVersionNode(const uint8_t* data, size_t available, VersionNode* node) {
    if (available < 6) return false;
    uint16_t length, valueLength, type;
    std::memcpy(&length, data, 2);
    std::memcpy(&valueLength, data + 2, 2);
    std::memcpy(&type, data + 4, 2);
    if (length < 6 || length > available) return false;
    size_t offset = 6;
    while (true) {
        if (offset + 2 > length) return false;
        wchar_t unit;
        std::memcpy(&unit, data + offset, 2);
        offset += 2;
        if (!unit) break;
        node->key += unit;
    }
    offset = Align4(offset);
    size_t valueBytes = type == 1 ? valueLength * 2u : valueLength;
    if (offset + valueBytes > length) return false;
    node->value = data + offset;
    node->valueLength = valueLength;
    node->type = type;
    offset = Align4(offset + valueBytes);
    while (offset < length) {
        VersionNode child;
        if (!ParseVersionNode(data + offset, length - offset, &child)) return false;
        uint16_t childLength;
        std::memcpy(&childLength, data + offset, 2);
        node->children.push_back(child);
        offset = Align4(offset + childLength);
    }
    return true;
}

std::string Keys(const std::vector<VersionNode>& nodes) {
    std::string text;
    for (const VersionNode& node : nodes) text += (text.empty() ? "" : ", ") + Narrow(node.key);
    return text;
}

std::wstring QueryText(const void* block, const std::wstring& key) {
    void* value = nullptr;
    UINT length = 0;
    std::wstring path = L"\\StringFileInfo\\040904B0\\" + key;
    if (!VerQueryValueW(block, path.c_str(), &value, &length)) return L"<missing>";
    if (!value || length == 0) return L"";
    return std::wstring(static_cast<const wchar_t*>(value), wcsnlen(static_cast<const wchar_t*>(value), length));
}

void TestVersionBlock(const std::wstring& path) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<uint8_t> block(size);
    Check(size > 0 && GetFileVersionInfoW(path.c_str(), 0, size, block.data()), "GetFileVersionInfoW reads the version block");
    if (!size) return;

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedLength = 0;
    Check(VerQueryValueW(block.data(), L"\\", (void**)&fixed, &fixedLength) && fixedLength == sizeof *fixed,
          "VerQueryValueW gives the fixed part");
    if (fixed && fixedLength == sizeof *fixed) {
        Check(fixed->dwSignature == 0xFEEF04BD && fixed->dwStrucVersion == 0x00010000, "fixed part: signature and version");
        Check(fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 0x00000001, "fixed part: file version 1.0.0.1",
              Hex(fixed->dwFileVersionMS) + " " + Hex(fixed->dwFileVersionLS));
        Check(fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 0x00000001,
              "fixed part: product version 1.0.0.1");
        Check(fixed->dwFileFlagsMask == 0x3F && fixed->dwFileFlags == 0, "fixed part: flags mask 0x3F, flags 0");
        Check(fixed->dwFileOS == 0x4 && fixed->dwFileType == 0x2 && fixed->dwFileSubtype == 0,
              "fixed part: 32-bit Windows, a DLL, no subtype",
              Hex(fixed->dwFileOS) + " " + Hex(fixed->dwFileType) + " " + Hex(fixed->dwFileSubtype));
        Check(fixed->dwFileDateMS == 0 && fixed->dwFileDateLS == 0, "fixed part: no date");
    }

    const std::vector<std::pair<std::wstring, std::wstring>> expected = {
        {L"CompanyName", L""},
        {L"FileDescription", L"VostrelMistvane DLL"},
        {L"FileVersion", L"1, 0, 0, 1"},
        {L"InternalName", L"VostrelMistvane"},
        {L"LegalCopyright", L"?"},
        {L"LegalTrademarks", L""},
        {L"OriginalFilename", L"VostrelMistvane.DLL"},
        {L"ProductName", L"VostrelMistvane Dynamic Link Library"},
        {L"ProductVersion", L"1, 0, 0, 1"},
        {L"OLESelfRegister", L""},
    };
    for (const auto& [key, value] : expected) {
        std::wstring got = QueryText(block.data(), key);
        if (key == L"LegalCopyright")
            Check(got.rfind(L"Copyright", 0) == 0, "LegalCopyright is a copyright line", Narrow(got));
        else
            Check(got == value, Narrow(key) + " is \"" + Narrow(value) + "\"", "got \"" + Narrow(got) + "\"");
    }
    WORD* translation = nullptr;
    UINT translationLength = 0;
    Check(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", (void**)&translation, &translationLength) &&
              translationLength == 4 && translation[0] == 0x0409 && translation[1] == 0x04B0,
          "Translation is US English, Unicode");

    // The raw block: exactly these keys, in this order.
    VersionNode root;
    Check(ParseVersionNode(block.data(), block.size(), &root) && root.key == L"VS_VERSION_INFO",
          "the block parses as VS_VERSION_INFO");
    Check(Keys(root.children) == "StringFileInfo, VarFileInfo", "StringFileInfo then VarFileInfo", Keys(root.children));
    if (root.children.size() == 2) {
        const VersionNode& strings = root.children[0];
        Check(Keys(strings.children) == "040904B0", "one string table, 040904B0", Keys(strings.children));
        std::string expectedKeys;
        for (const auto& entry : expected) expectedKeys += (expectedKeys.empty() ? "" : ", ") + Narrow(entry.first);
        if (strings.children.size() == 1)
            Check(Keys(strings.children[0].children) == expectedKeys, "the string table holds every key, in order",
                  Keys(strings.children[0].children));
        Check(Keys(root.children[1].children) == "Translation", "VarFileInfo holds Translation alone",
              Keys(root.children[1].children));
    }
}

std::set<std::string> resourceEntries;

BOOL CALLBACK OnLanguage(HMODULE, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR) {
    auto id = [](LPCWSTR text) { return IS_INTRESOURCE(text) ? std::to_string((uintptr_t)text) : Narrow(text); };
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04x", language);
    resourceEntries.insert(id(type) + "/" + id(name) + "/" + hex);
    return TRUE;
}

BOOL CALLBACK OnName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR) {
    EnumResourceLanguagesW(module, type, name, OnLanguage, 0);
    return TRUE;
}

BOOL CALLBACK OnType(HMODULE module, LPWSTR type, LONG_PTR) {
    EnumResourceNamesW(module, type, OnName, 0);
    return TRUE;
}

int32_t Read32(const uint8_t* data) {
    int32_t value;
    std::memcpy(&value, data, 4);
    return value;
}

void TestTypeLibrary(HMODULE module, const std::wstring& path) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), L"TYPELIB");
    const uint8_t* data = found ? static_cast<const uint8_t*>(LockResource(LoadResource(module, found))) : nullptr;
    DWORD size = found ? SizeofResource(module, found) : 0;
    Check(data && size > 0x54, "TYPELIB 1 is there");
    if (data && size > 0x54) {
        Check(std::memcmp(data, "MSFT", 4) == 0 && Read32(data + 4) == 0x00010002, "it is a MSFT type library, header 0x00010002");
        int32_t typeCount = Read32(data + 0x20);
        int32_t flags = Read32(data + 0x14);
        Check(typeCount == 0 && Read32(data + 0x50) == 0, "the raw library declares no types and imports none");
        Check(Read32(data + 0x24) == -1 && Read32(data + 0x3C) == -1, "no help string, no help file");
        Check(Read32(data + 0x1C) == 0, "no library flags in the header");
        // The segment directory follows the type offsets; its third entry is the list of imported files.
        size_t segments = 0x54 + 4 * (size_t)(typeCount > 0 ? typeCount : 0) + ((flags & 0x100) ? 4 : 0);
        if (segments + 3 * 16 <= size)
            Check(Read32(data + segments + 2 * 16) == -1 && Read32(data + segments + 2 * 16 + 4) == 0,
                  "the imported-files segment is empty");
    }

    ITypeLib* library = nullptr;
    HRESULT loaded = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
    Check(loaded == S_OK && library, "LoadTypeLibEx loads the module's type library", Hex((uint32_t)loaded));
    if (!library) return;
    TLIBATTR* attributes = nullptr;
    if (library->GetLibAttr(&attributes) == S_OK && attributes) {
        // The identifier of VostrelMistvane.idl.
        const GUID expected = {0xb56be9f2, 0xc627, 0x45e2, {0xb8, 0x7a, 0xe9, 0x3e, 0xc5, 0xc0, 0x24, 0x0f}};
        Check(IsEqualGUID(attributes->guid, expected), "the library identifier is the .idl's");
        Check(attributes->lcid == 0x0409, "locale 0x0409", Hex(attributes->lcid));
        Check(attributes->syskind == SYS_WIN32, "for 32-bit Windows", std::to_string(attributes->syskind));
        Check(attributes->wMajorVerNum == 1 && attributes->wMinorVerNum == 0, "version 1.0");
        // The loader adds "has a disk image" to whatever the library says of itself.
        Check((attributes->wLibFlags & ~LIBFLAG_FHASDISKIMAGE) == 0, "no library flags (restricted, control, hidden)",
              Hex(attributes->wLibFlags));
        library->ReleaseTLibAttr(attributes);
    } else {
        Check(false, "GetLibAttr answers");
    }
    BSTR name = nullptr, documentation = nullptr, helpFile = nullptr;
    DWORD helpContext = 0;
    Check(library->GetDocumentation(-1, &name, &documentation, &helpContext, &helpFile) == S_OK, "GetDocumentation answers");
    Check(name && std::wstring(name) == L"VostrelMistvane", "the library is named VostrelMistvane",
          name ? Narrow(name) : "null");
    Check(!documentation && !helpFile && helpContext == 0, "no documentation, help file or help context");
    SysFreeString(name);
    SysFreeString(documentation);
    SysFreeString(helpFile);
    Check(library->GetTypeInfoCount() == 0, "the library holds no type descriptions");
    library->Release();
}

void TestResources() {
    std::wstring path = ModulePath();
    HMODULE module = LoadLibraryW(path.c_str());
    Check(module != nullptr, "the module loads");
    if (!module) return;

    EnumResourceTypesW(module, OnType, 0);
    std::string entries;
    for (const std::string& entry : resourceEntries) entries += (entries.empty() ? "" : " ") + entry;
    // Type/name/language: the string table's block 7 holds strings 96 to 111; RT_STRING is 6, RT_VERSION 16.
    Check(entries == "16/1/0409 6/7/0409 TYPELIB/1/0409",
          "the resources are the version block, one string table block and TYPELIB 1, all US English", entries);

    TestVersionBlock(path);

    wchar_t text[256];
    int length = LoadStringW(module, 101, text, 256);
    Check(std::wstring(text, length > 0 ? length : 0) == L"Windows sockets initialization failed.",
          "LoadStringW gives string 101", Narrow(std::wstring(text, length > 0 ? length : 0)));
    int others = 0;
    for (UINT id = 96; id < 112; ++id)
        if (id != 101) others += LoadStringW(module, id, text, 256) > 0;
    Check(others == 0, "string 101 is alone in its table block");

    TestTypeLibrary(module, path);
    FreeLibrary(module);
}

// ---------------------------------------------------------------------------------------------------------------
// Files

// Runs a call with the C runtime's standard error stream (which the core library writes to) sent to a file.
template <typename Call>
int32_t Capturing(Call call, std::string* errors) {
    std::fflush(stderr);
    int saved = _dup(2);
    int capture = _wopen(L"stderr.txt", _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    _dup2(capture, 2);
    int32_t status = call();
    std::fflush(stderr);
    _dup2(saved, 2);
    _close(saved);
    _close(capture);
    std::vector<uint8_t> bytes = ReadBytes(L"stderr.txt");
    errors->assign(bytes.begin(), bytes.end());
    DeleteFileW(L"stderr.txt");
    return status;
}

struct FileCase {
    std::string name;
    BitmapShape shape;
};

struct BlurJob {
    MistvaneFunction mistvane;
    std::wstring input, output;
    int rounds;
    int32_t statuses[4];
    static DWORD WINAPI Run(LPVOID argument) {
        BlurJob* job = static_cast<BlurJob*>(argument);
        for (int round = 0; round < job->rounds; ++round)
            job->statuses[round] = job->mistvane(job->input.c_str(), job->output.c_str());
        return 0;
    }
};

void TestFiles(const std::wstring& sample) {
    HMODULE module = LoadLibraryW(ModulePath().c_str());
    MistvaneFunction mistvane = module ? FindMistvane(module) : nullptr;
    Check(mistvane != nullptr, "the module loads and Mistvane is found");
    if (!mistvane) return;
    auto blur = [&](const std::wstring& input, const std::wstring& output) {
        return mistvane(input.c_str(), output.c_str());
    };
    const std::string kMessage = "Not a valid BMP file\n";
    std::set<std::wstring> kept;  // what the working directory should hold at the end
    FILE* manifest = _wfopen(L"linux-compare.txt", L"wb");
    Check(manifest != nullptr, "linux-compare.txt can be written");
    if (!manifest) return;
    kept.insert(L"linux-compare.txt");

    // 999: every layout the module reads, and the bundled sample. The outputs stay for the comparison with the
    // Linux build.
    std::vector<FileCase> cases = {
        {"padded-rows", {.width = 30, .height = 23, .trailing = 5}},
        {"top-down-v5-header", {.width = 13, .height = -9, .infoSize = 124, .gap = 12, .lastRowUnpadded = true}},
        {"one-pixel", {.width = 1, .height = 1}},
        {"no-pixels", {.width = 0, .height = 7}},
        {"tall-and-narrow", {.width = 5, .height = 61, .infoSize = 108}},
        {"wider-than-the-window", {.width = 71, .height = 26, .trailing = 3}},
    };
    std::vector<std::pair<std::wstring, std::vector<uint8_t>>> inputs;
    for (size_t k = 0; k < cases.size(); ++k)
        inputs.push_back({Wide("in-" + cases[k].name + ".bmp"), MakeBitmap(cases[k].shape, (uint32_t)k + 11).bytes});
    std::vector<uint8_t> sampleBytes = ReadBytes(sample);
    Check(sampleBytes.size() > 54, "the bundled sample is readable", Narrow(sample));
    inputs.push_back({L"in-sample.bmp", sampleBytes});
    for (const auto& [input, bytes] : inputs) {
        std::wstring output = L"win-" + input.substr(3);
        WriteBytes(input, bytes);
        std::string errors;
        int32_t status = Capturing([&] { return blur(input, output); }, &errors);
        Check(status == MistvaneStatusDone && errors.empty(), "999 for " + Narrow(input), std::to_string(status) + " " + errors);
        Check(ReadBytes(output) == ExpectedOutput(bytes), Narrow(output) + " holds the blurred image");
        Check(ReadBytes(input) == bytes, Narrow(input) + " is unchanged");
        std::fprintf(manifest, "%s %s\n", Narrow(input).c_str(), Narrow(output).c_str());
        kept.insert(input);
        kept.insert(output);
    }
    std::fclose(manifest);
    TestBitmap bmp = MakeBitmap({.width = 30, .height = 23, .trailing = 5}, 3);
    std::vector<uint8_t> blurred = ExpectedOutput(bmp);

    // 1: not a BMP this module reads. The message once, and no output created or changed.
    std::vector<std::vector<uint8_t>> rejected = {{}, {'B', 'M'}, std::vector<uint8_t>(bmp.bytes.begin(), bmp.bytes.begin() + 53)};
    rejected.push_back(bmp.bytes);
    rejected.back()[0] = 'M';
    rejected.back()[1] = 'B';
    rejected.push_back(bmp.bytes);
    Put16(rejected.back(), 28, 32);
    rejected.push_back(bmp.bytes);
    rejected.back().resize(bmp.bytes.size() - 10);
    WriteBytes(L"kept.bmp", {9, 9, 9});
    kept.insert(L"kept.bmp");
    int rightStatus = 0, rightMessage = 0, outputKept = 0;
    for (const std::vector<uint8_t>& bytes : rejected) {
        WriteBytes(L"rejected.bmp", bytes);
        std::string errors;
        rightStatus += Capturing([&] { return blur(L"rejected.bmp", L"kept.bmp"); }, &errors) == MistvaneStatusNotBitmap;
        rightMessage += errors == kMessage;
        outputKept += ReadBytes(L"kept.bmp") == std::vector<uint8_t>{9, 9, 9};
    }
    int total = (int)rejected.size();
    Check(rightStatus == total, "1 for each file that is not a BMP it reads", std::to_string(rightStatus) + "/" + std::to_string(total));
    Check(rightMessage == total, "each prints \"Not a valid BMP file\" once on standard error",
          std::to_string(rightMessage) + "/" + std::to_string(total));
    Check(outputKept == total, "each leaves the existing output as it was");
    std::string message;
    Check(Capturing([&] { return blur(L"rejected.bmp", L"never.bmp"); }, &message) == MistvaneStatusNotBitmap && !Exists(L"never.bmp"),
          "no output is created for one");
    DeleteFileW(L"rejected.bmp");

    // 2: the input cannot be opened; 4: the output cannot be opened or replaced. Each leaves its cause in the
    // thread's last error, what the platform's call said or the module's own; never what was there before.
    WriteBytes(L"in.bmp", bmp.bytes);
    kept.insert(L"in.bmp");
    CreateDirectoryW(L"a-directory", nullptr);
    kept.insert(L"a-directory");
    WriteBytes(L"read-only.bmp", {5, 5, 5});
    SetFileAttributesW(L"read-only.bmp", FILE_ATTRIBUTE_READONLY);
    kept.insert(L"read-only.bmp");
    const std::wstring kNull = L"<null>";
    const std::wstring longName = L"a-directory\\" + std::wstring(300, L'y');
    struct FailureCase {
        std::wstring input, output;
        int32_t status;
        DWORD error;  // 0: the status alone is checked
        std::string what;
    };
    const FailureCase failures[] = {
        {L"missing.bmp", L"out.bmp", MistvaneStatusInputOpenFailed, ERROR_FILE_NOT_FOUND, "a missing input"},
        {kNull, L"out.bmp", MistvaneStatusInputOpenFailed, ERROR_INVALID_PARAMETER, "a null input path"},
        {L"", L"out.bmp", MistvaneStatusInputOpenFailed, ERROR_PATH_NOT_FOUND, "an empty input path"},
        {L"a-directory", L"out.bmp", MistvaneStatusInputOpenFailed, ERROR_ACCESS_DENIED, "a directory as input"},
        {L"in.bmp", L"no-such-directory\\out.bmp", MistvaneStatusOutputOpenFailed, ERROR_PATH_NOT_FOUND,
         "an output in a missing directory"},
        {L"in.bmp", L"a-directory", MistvaneStatusOutputOpenFailed, ERROR_ACCESS_DENIED, "a directory as output"},
        {L"in.bmp", kNull, MistvaneStatusOutputOpenFailed, ERROR_INVALID_PARAMETER, "a null output path"},
        {L"in.bmp", L"", MistvaneStatusOutputOpenFailed, ERROR_PATH_NOT_FOUND, "an empty output path"},
        {L"in.bmp", L"bad?name*.bmp", MistvaneStatusOutputOpenFailed, ERROR_INVALID_NAME,
         "a name Windows does not allow"},
        {L"in.bmp", longName, MistvaneStatusOutputOpenFailed, 0, "a name longer than the file system allows"},
        {L"in.bmp", L"read-only.bmp", MistvaneStatusOutputOpenFailed, ERROR_ACCESS_DENIED, "a read-only output"},
    };
    // A value no platform call sets (bit 29 marks an application's own codes), so a stale one shows.
    const DWORD kUntouched = 0x2000BEEF;
    for (const FailureCase& c : failures) {
        std::string errors;
        DWORD error = 0;
        int32_t status = Capturing([&] {
            SetLastError(kUntouched);
            int32_t result = mistvane(c.input == kNull ? nullptr : c.input.c_str(),
                                      c.output == kNull ? nullptr : c.output.c_str());
            error = GetLastError();
            return result;
        }, &errors);
        Check(status == c.status && errors.empty() && (c.error == 0 || error == c.error),
              std::to_string(c.status) + " for " + c.what + ", silently" +
                  (c.error ? ", last error " + std::to_string(c.error) : ""),
              "status " + std::to_string(status) + ", last error " + std::to_string(error) + ", stderr " + errors);
    }
    Check(!Exists(L"out.bmp") && !Exists(L"no-such-directory"),
          "no output is created when the input or the output fails");
    Check(ReadBytes(L"read-only.bmp") == std::vector<uint8_t>{5, 5, 5}, "the read-only output keeps its content");
    Check(DirectoryNames(L"a-directory").empty(), "nothing is left in a directory that was named as output");

    // An input that ends before its last row. A regular file that is short is refused up front (1), so it is cut
    // while the call reads it: the output is a pipe, and its reader here cuts the input once the first rows arrive.
    // Its small buffer holds the call in its first write meanwhile. Closing both files afterwards must not change
    // the cause.
    {
        TestBitmap large = MakeBitmap({.width = 1000, .height = 600}, 21);
        WriteBytes(L"cut.bmp", large.bytes);
        const wchar_t* pipeName = L"\\\\.\\pipe\\mistvane-cut-input";
        HANDLE pipe =
            CreateNamedPipeW(pipeName, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 4096, 0, nullptr);
        struct Reader {
            HANDLE pipe;
            size_t keep;
            bool cut = false;
            size_t received = 0;
            static DWORD WINAPI Run(LPVOID argument) {
                Reader* reader = static_cast<Reader*>(argument);
                if (!ConnectNamedPipe(reader->pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return 1;
                char buffer[4096];
                DWORD got = 0;
                if (!ReadFile(reader->pipe, buffer, 1, &got, nullptr)) return 1;
                reader->received = got;
                HANDLE input = CreateFileW(L"cut.bmp", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr);
                LARGE_INTEGER at;
                at.QuadPart = (LONGLONG)reader->keep;
                reader->cut = input != INVALID_HANDLE_VALUE && SetFilePointerEx(input, at, nullptr, FILE_BEGIN) &&
                              SetEndOfFile(input);
                if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
                while (ReadFile(reader->pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) reader->received += got;
                return 0;
            }
        } reader{pipe, large.pixelOffset + 200 * large.stride};
        HANDLE thread =
            pipe != INVALID_HANDLE_VALUE ? CreateThread(nullptr, 0, Reader::Run, &reader, 0, nullptr) : nullptr;
        SetLastError(kUntouched);
        int32_t status = thread ? mistvane(L"cut.bmp", pipeName) : -1;
        DWORD error = GetLastError();
        if (thread) WaitForSingleObject(thread, 60000), CloseHandle(thread);
        if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
        Check(reader.cut && status == MistvaneStatusInputOpenFailed && error == ERROR_HANDLE_EOF,
              "2 for an input that ends before its last row, last error ERROR_HANDLE_EOF (38)",
              "cut " + std::to_string(reader.cut) + ", status " + std::to_string(status) + ", last error " +
                  std::to_string(error));
        Check(reader.received < large.bytes.size(), "  ... having written less than the whole image",
              std::to_string(reader.received) + " bytes");
        DeleteFileW(L"cut.bmp");
    }

    // A replacement the platform refuses, once the new file is complete: a target open without leave to delete it.
    // The cause is the refusal's, not the rename's "already exists" before it nor what removing the new file
    // did; the target keeps its content.
    {
        WriteBytes(L"held.bmp", {6, 6, 6});
        kept.insert(L"held.bmp");
        HANDLE held = CreateFileW(L"held.bmp", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        SetLastError(kUntouched);
        int32_t status = blur(L"in.bmp", L"held.bmp");
        DWORD error = GetLastError();
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        Check(held != INVALID_HANDLE_VALUE && status == MistvaneStatusOutputOpenFailed &&
                  (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION),
              "4 for a target held open without delete sharing, the refusal in the last error",
              "status " + std::to_string(status) + ", last error " + std::to_string(error));
        Check(ReadBytes(L"held.bmp") == std::vector<uint8_t>{6, 6, 6}, "  ... the held target keeps its content");
    }

    // Paths: every valid UTF-16 path converts and opens; an unpaired surrogate names no file.
    for (std::wstring name : {std::wstring(L"\u56fe\u50cf.bmp"), std::wstring(L"\u30d5\u30a1\u30a4\u30eb \u2014 \u00fcn\u00efc\u00f8d\u00e9.bmp"),
                              std::wstring(L"emoji-\U0001F600-\U0001D11E.bmp")}) {
        std::wstring input = L"in-" + name, output = L"out-" + name;
        WriteBytes(input, bmp.bytes);
        Check(blur(input, output) == MistvaneStatusDone && ReadBytes(output) == blurred, "999 with Unicode names: " + Narrow(name));
        kept.insert(input);
        kept.insert(output);
    }
    int surrogateCases = 0;
    for (std::wstring bad : {std::wstring(1, (wchar_t)0xD800), std::wstring(1, (wchar_t)0xDC00), std::wstring(L"\xD83Dx")}) {
        SetLastError(0);
        surrogateCases += blur(L"in.bmp" + bad, L"out.bmp") == MistvaneStatusInputOpenFailed &&
                          GetLastError() == ERROR_INVALID_PARAMETER;
        SetLastError(0);
        surrogateCases += blur(L"in.bmp", L"out.bmp" + bad) == MistvaneStatusOutputOpenFailed &&
                          GetLastError() == ERROR_INVALID_PARAMETER;
    }
    Check(surrogateCases == 6, "unpaired surrogates: 2 in the input path, 4 in the output path, last error 87",
          std::to_string(surrogateCases) + "/6");

    // A narrower ANSI code page, Western European (1252): an input name it holds still works; one it lacks, or could
    // only approximate ("\u0101" would become "a"), fails instead of reaching some other file. Output names reach the
    // kernel's file calls in UTF-16, so the code page does not limit them.
    typedef void (*UseCodePage)(uint32_t);
    HMODULE core = GetModuleHandleW(L"COREDLL.dll");
    UseCodePage useCodePage = core ? FindFunction<UseCodePage>(core, "StandInCoreUseAnsiCodePage") : nullptr;
    Check(useCodePage != nullptr, "the stand-in core library can change its ANSI code page");
    if (useCodePage) {
        useCodePage(1252);
        std::wstring latin = L"\u00fcn\u00efc\u00f8d\u00e9";
        WriteBytes(L"in-" + latin + L".bmp", bmp.bytes);
        WriteBytes(L"in-a.bmp", bmp.bytes);
        Check(blur(L"in-" + latin + L".bmp", L"out-" + latin + L".bmp") == MistvaneStatusDone &&
                  ReadBytes(L"out-" + latin + L".bmp") == blurred,
              "code page 1252: 999 for names it holds");
        Check(blur(L"in-\u56fe\u50cf.bmp", L"out-1252.bmp") == MistvaneStatusInputOpenFailed && !Exists(L"out-1252.bmp"),
              "code page 1252: 2 for an input name it lacks");
        Check(blur(L"in.bmp", L"out-\u56fe\u50cf-1252.bmp") == MistvaneStatusDone &&
                  ReadBytes(L"out-\u56fe\u50cf-1252.bmp") == blurred,
              "code page 1252: an output name it lacks is written under that very name");
        Check(blur(L"in-\u0101.bmp", L"out-1252.bmp") == MistvaneStatusInputOpenFailed &&
                  blur(L"in.bmp", L"out-\u0101.bmp") == MistvaneStatusDone && ReadBytes(L"out-\u0101.bmp") == blurred &&
                  !Exists(L"out-a.bmp"),
              "code page 1252: no look-alike name is opened instead");
        useCodePage(CP_UTF8);
        for (const std::wstring& name : {L"in-" + latin + L".bmp", L"out-" + latin + L".bmp", std::wstring(L"in-a.bmp"),
                                         std::wstring(L"out-\u56fe\u50cf-1252.bmp"), std::wstring(L"out-\u0101.bmp")})
            kept.insert(name);
    }

    // Replacing files.
    WriteBytes(L"out.bmp", std::vector<uint8_t>(100000, 7));
    SetFileAttributesW(L"out.bmp", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    Check(blur(L"in.bmp", L"out.bmp") == MistvaneStatusDone && ReadBytes(L"out.bmp") == blurred, "an existing output is replaced");
    DWORD attributes = GetFileAttributesW(L"out.bmp");
    Check(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_HIDDEN),
          "the replaced output keeps its attributes", Hex(attributes));
    kept.insert(L"out.bmp");
    WriteBytes(L"same.bmp", bmp.bytes);
    Check(blur(L"same.bmp", L"same.bmp") == MistvaneStatusDone && ReadBytes(L"same.bmp") == blurred, "the input may be the output");
    kept.insert(L"same.bmp");
    Check(blur(L"in.bmp", L"NUL") == MistvaneStatusDone, "a device (NUL) is written in place");
    // link.bmp is a symbolic link to link-target.bmp, made by the script that runs this program.
    Check(blur(L"in.bmp", L"link.bmp") == MistvaneStatusDone && ReadBytes(L"link-target.bmp") == blurred,
          "an output through a symbolic link replaces the file it names");
    kept.insert(L"link.bmp");
    kept.insert(L"link-target.bmp");

    // Several threads on different files.
    const int kThreads = 4;
    std::vector<BlurJob> jobs(kThreads);
    std::vector<std::vector<uint8_t>> expected(kThreads);
    std::vector<HANDLE> threads;
    for (int t = 0; t < kThreads; ++t) {
        TestBitmap threadBmp = MakeBitmap({.width = 40 + t, .height = 30 + 3 * t, .trailing = (size_t)t}, t + 1);
        expected[t] = ExpectedOutput(threadBmp);
        jobs[t] = {mistvane, Wide("thread-in" + std::to_string(t) + ".bmp"), Wide("thread-out" + std::to_string(t) + ".bmp"), 4, {}};
        WriteBytes(jobs[t].input, threadBmp.bytes);
        kept.insert(jobs[t].input);
        kept.insert(jobs[t].output);
    }
    for (int t = 0; t < kThreads; ++t) threads.push_back(CreateThread(nullptr, 0, BlurJob::Run, &jobs[t], 0, nullptr));
    WaitForMultipleObjects(kThreads, threads.data(), TRUE, 60000);
    int threadsRight = 0;
    for (int t = 0; t < kThreads; ++t) {
        CloseHandle(threads[t]);
        bool allDone = true;
        for (int32_t status : jobs[t].statuses) allDone = allDone && status == MistvaneStatusDone;
        threadsRight += allDone && ReadBytes(jobs[t].output) == expected[t];
    }
    Check(threadsRight == kThreads, "threads blurring different files do not interfere", std::to_string(threadsRight));

    // Nothing left behind: no temporary files beside the outputs.
    std::set<std::wstring> names = DirectoryNames(L".");
    std::string extra, missing;
    for (const std::wstring& name : names)
        if (!kept.count(name)) extra += " " + Narrow(name);
    for (const std::wstring& name : kept)
        if (!names.count(name)) missing += " " + Narrow(name);
    Check(extra.empty() && missing.empty(), "the directory holds exactly the files made", "extra:" + extra + " missing:" + missing);
    FreeLibrary(module);
}

}  // namespace

int main(int argc, char** argv) {
    std::string section = argc > 1 ? argv[1] : "";
    bool known = (section == "loading" && argc == 3) || (section == "resources" && argc == 2) ||
                 (section == "files" && argc == 4);
    if (!known) {
        std::fprintf(stderr, "usage: module_test loading WORKDIR | resources | files WORKDIR SAMPLE\n");
        return 64;
    }
    // The sample's path is taken before moving into the working directory, so that a relative one still works.
    wchar_t sample[MAX_PATH] = L"";
    if (section == "files") GetFullPathNameW(Wide(argv[3]).c_str(), MAX_PATH, sample, nullptr);
    if (argc > 2 && !SetCurrentDirectoryW(Wide(argv[2]).c_str())) {
        std::fprintf(stderr, "cannot enter %s\n", argv[2]);
        return 66;
    }
    if (section == "loading") TestLoading();
    if (section == "resources") TestResources();
    if (section == "files") TestFiles(sample);
    std::printf("%d checks, %d failed\n", checkCount, failureCount);
    return failureCount == 0 && checkCount > 0 ? 0 : 1;
}
