// MFC for the platform's records, for the stand-in MFC library and the tests that look into it. Written from what
// MFC's own headers and debug records say of mfcce300 (MFC 6 lineage, _AFXDLL, OLE support,
// _AFX_NO_NESTED_DERIVATION, UNICODE), on their own and not from the module's declarations, so that a test can find
// the module writing where MFC keeps something else. Every pointer, handle and size_t is a machine word, BOOL, DWORD
// and LONG 32 bits: on the device (32-bit ARM) the offsets are the ones pinned at the end.
#ifndef MISTVANE_MFC_LAYOUT_H
#define MISTVANE_MFC_LAYOUT_H

#include <stddef.h>
#include <stdint.h>

struct AFX_MODULE_STATE;

// MFC's intrusive list: the head, and where in each member its link to the next is.
struct CSimpleList {
    void* m_pHead;
    size_t m_nNextOffset;
};

struct CRuntimeClass {
    const char* m_lpszClassName;
    int m_nObjectSize;
    unsigned m_wSchema;
    void* (*m_pfnCreateObject)();
    CRuntimeClass* (*m_pfnGetBaseClass)();
    CRuntimeClass* m_pNextClass;  // the class list's link (_AFXDLL)
};

// An interface place-holder of CCmdTarget: one word under _AFX_NO_NESTED_DERIVATION.
struct AfxInterfacePlaceHolder {
    uintptr_t m_vtbl;
};

// CObject's vtable pointer and CCmdTarget's own members.
struct CCmdTarget {
    const void* const* vtable;
    int32_t m_dwRef;
    void* m_pOuterUnknown;
    uintptr_t m_xInnerUnknown;
    AfxInterfacePlaceHolder m_xDispatch;
    int32_t m_bResultExpected;
    AfxInterfacePlaceHolder m_xConnPtContainer;
    AFX_MODULE_STATE* m_pModuleState;
};

struct COleObjectFactory {
    CCmdTarget target;
    COleObjectFactory* m_pNextFactory;  // the factory list's link, COleObjectFactory's first own member
};

struct CDynLinkLibrary {
    CCmdTarget target;
    void* m_hModule;
    void* m_hResource;
    CSimpleList m_classList;
    CSimpleList m_factoryList;
    int32_t m_bSystem;
    CDynLinkLibrary* m_pNextDLL;  // the library list's link
};

struct AFX_EXTENSION_MODULE {
    int32_t bInitialized;
    void* hModule;
    void* hResource;
    CRuntimeClass* pFirstSharedClass;
    COleObjectFactory* pFirstSharedFactory;
};

// AFX_MODULE_STATE derives from CNoTrackObject, whose only data is the vtable pointer.
struct AFX_MODULE_STATE {
    const void* const* vtable;
    void* m_pCurrentWinApp;
    void* m_hCurrentInstanceHandle;
    void* m_hCurrentResourceHandle;
    const uint16_t* m_lpszCurrentAppName;
    uint8_t m_bDLL;
    uint8_t m_bSystem;
    uint8_t m_bReserved[2];
    uint32_t m_fRegisteredClasses;
    CRuntimeClass* m_pClassInit;
    CSimpleList m_classList;
    COleObjectFactory* m_pFactoryInit;
    CSimpleList m_factoryList;
    int32_t m_nObjectCount;
    int32_t m_bUserCtrl;
    uint16_t m_szUnregisterList[4096];
    void* m_pfnAfxWndProc;
    uint32_t m_dwVersion;
    void (*m_pfnTerminate)();
    CSimpleList m_libraryList;
    void* m_appLangDLL;
    // The OLE control, type-library and thread-local parts, which extension registration never touches: 56 bytes
    // on the device.
    uintptr_t m_oleAndThreadParts[14];
};

#if defined(__arm__)
static_assert(sizeof(AFX_MODULE_STATE) == 0x208C, "MFC's module state is 0x208C bytes");
static_assert(offsetof(AFX_MODULE_STATE, m_fRegisteredClasses) == 0x18 &&
                  offsetof(AFX_MODULE_STATE, m_pClassInit) == 0x1C && offsetof(AFX_MODULE_STATE, m_classList) == 0x20 &&
                  offsetof(AFX_MODULE_STATE, m_pFactoryInit) == 0x28 &&
                  offsetof(AFX_MODULE_STATE, m_factoryList) == 0x2C && offsetof(AFX_MODULE_STATE, m_nObjectCount) == 0x34,
              "the module state's registration fields");
static_assert(offsetof(AFX_MODULE_STATE, m_szUnregisterList) == 0x3C &&
                  offsetof(AFX_MODULE_STATE, m_pfnAfxWndProc) == 0x203C &&
                  offsetof(AFX_MODULE_STATE, m_libraryList) == 0x2048 &&
                  offsetof(AFX_MODULE_STATE, m_appLangDLL) == 0x2050,
              "the module state's later fields");
static_assert(sizeof(AFX_EXTENSION_MODULE) == 20 && offsetof(AFX_EXTENSION_MODULE, pFirstSharedFactory) == 0x10,
              "the extension-module record");
static_assert(sizeof(CDynLinkLibrary) == 64 && offsetof(CDynLinkLibrary, m_hModule) == 0x20 &&
                  offsetof(CDynLinkLibrary, m_classList) == 0x28 && offsetof(CDynLinkLibrary, m_factoryList) == 0x30 &&
                  offsetof(CDynLinkLibrary, m_bSystem) == 0x38 && offsetof(CDynLinkLibrary, m_pNextDLL) == 0x3C,
              "CDynLinkLibrary, as its class record gives it");
static_assert(sizeof(CRuntimeClass) == 24 && offsetof(CRuntimeClass, m_pNextClass) == 0x14, "CRuntimeClass");
static_assert(offsetof(COleObjectFactory, m_pNextFactory) == 0x20, "COleObjectFactory's link");
#endif

#endif
