/* MFC's records the module touches, as MFC for the platform declares them (its afxstat_.h, afxdll_.h, afxwin.h and
 * afx.h): built with _AFXDLL, OLE support, _AFX_NO_NESTED_DERIVATION and UNICODE. They are declared field by field
 * with the platform's types, so that each build's pointer size gives its own offsets; the device's offsets are
 * pinned below. The records belong to MFC: a field at the wrong offset corrupts the host's own MFC state, and a
 * chain object smaller than MFC's class is overrun by its constructor. */
#ifndef MISTVANE_MFC_RECORDS_H
#define MISTVANE_MFC_RECORDS_H

#include <stddef.h>
#include <stdint.h>

/* The platform's types: BOOL, DWORD and LONG are 32 bits, handles and pointers a machine word, TCHAR 16 bits. */
typedef int32_t MfcBool;
typedef uint32_t MfcDword;
typedef int32_t MfcLong;
typedef void* MfcInstance;
typedef uint16_t MfcTextChar;

/* CSimpleList: a list threaded through its members; m_nNextOffset is where, inside a member, the next pointer is. */
struct CSimpleList {
    void* m_pHead;
    size_t m_nNextOffset;
};

/* Declared so far as its link field's offset goes: the module never walks the class list. */
struct CRuntimeClass {
    const char* m_lpszClassName;
    int32_t m_nObjectSize;
    uint32_t m_wSchema;
    void* m_pfnCreateObject;
    void* m_pfnGetBaseClass;
    CRuntimeClass* m_pNextClass;
};

/* CCmdTarget's data, behind its vtable pointer. The two interface place-holders are one word each under
 * _AFX_NO_NESTED_DERIVATION; an MFC built without it gives each a second word. */
struct CCmdTarget {
    void* vtable;
    MfcLong m_dwRef;
    void* m_pOuterUnknown;
    uintptr_t m_xInnerUnknown;
    uintptr_t m_xDispatch;
    MfcBool m_bResultExpected;
    uintptr_t m_xConnPtContainer;
    struct AFX_MODULE_STATE* m_pModuleState;
};

/* Only its first own field, the factory list's link, matters to the module. */
struct COleObjectFactory {
    CCmdTarget base;
    COleObjectFactory* m_pNextFactory;
};

/* MFC's state of the running module, returned by AfxGetModuleState. MFC allocates it and it goes on past
 * m_appLangDLL (OLE control, type-library and thread-local parts); the module never allocates one, so it declares no
 * more than it needs to place its fields. */
struct AFX_MODULE_STATE {
    void* vtable; /* the class has a virtual destructor: never written */
    void* m_pCurrentWinApp;
    MfcInstance m_hCurrentInstanceHandle;
    MfcInstance m_hCurrentResourceHandle;
    const MfcTextChar* m_lpszCurrentAppName;
    uint8_t m_bDLL;
    uint8_t m_bSystem;
    uint8_t m_bReserved[2];
    MfcDword m_fRegisteredClasses;
    CRuntimeClass* m_pClassInit;
    CSimpleList m_classList;
    COleObjectFactory* m_pFactoryInit;
    CSimpleList m_factoryList;
    MfcLong m_nObjectCount;
    MfcBool m_bUserCtrl;
    MfcTextChar m_szUnregisterList[4096];
    void* m_pfnAfxWndProc;
    MfcDword m_dwVersion;
    void* m_pfnTerminate;
    CSimpleList m_libraryList;
    MfcInstance m_appLangDLL;
};

/* The extension-module record: the module's storage, MFC's contents, zero until MFC initialises it. */
struct AFX_EXTENSION_MODULE {
    MfcBool bInitialized;
    MfcInstance hModule;
    MfcInstance hResource;
    CRuntimeClass* pFirstSharedClass;
    COleObjectFactory* pFirstSharedFactory;
};

/* The chain object that links a module into MFC's list of libraries. MFC's constructor (ordinal 88) writes all of
 * it. */
struct CDynLinkLibrary {
    CCmdTarget base;
    MfcInstance m_hModule;
    MfcInstance m_hResource;
    CSimpleList m_classList;
    CSimpleList m_factoryList;
    MfcBool m_bSystem;
    CDynLinkLibrary* m_pNextDLL;
};

/* What MFC stores in its lists' m_nNextOffset: the link's offset in a member. An MFC built with nested derivation
 * has a CCmdTarget two words longer, which moves the factory's link but not the class's. */
const size_t kMfcClassLinkOffset = offsetof(CRuntimeClass, m_pNextClass);
const size_t kMfcFactoryLinkOffset = offsetof(COleObjectFactory, m_pNextFactory);
const size_t kMfcNestedDerivationWords = 2 * sizeof(size_t);

/* Storage for the chain object: room for MFC's class in either build, since its constructor writes its own size
 * and a larger block costs nothing. */
const size_t kChainObjectStorage = sizeof(CDynLinkLibrary) + kMfcNestedDerivationWords;

#if defined(__arm__)
/* MFC for the platform, on the device. */
static_assert(offsetof(AFX_MODULE_STATE, m_pClassInit) == 0x1C, "m_pClassInit");
static_assert(offsetof(AFX_MODULE_STATE, m_classList) == 0x20, "m_classList");
static_assert(offsetof(AFX_MODULE_STATE, m_classList.m_nNextOffset) == 0x24, "m_classList.m_nNextOffset");
static_assert(offsetof(AFX_MODULE_STATE, m_pFactoryInit) == 0x28, "m_pFactoryInit");
static_assert(offsetof(AFX_MODULE_STATE, m_factoryList) == 0x2C, "m_factoryList");
static_assert(offsetof(AFX_MODULE_STATE, m_factoryList.m_nNextOffset) == 0x30, "m_factoryList.m_nNextOffset");
static_assert(offsetof(AFX_MODULE_STATE, m_libraryList) == 0x2048, "m_libraryList");
static_assert(offsetof(AFX_MODULE_STATE, m_appLangDLL) == 0x2050, "m_appLangDLL");
static_assert(sizeof(AFX_EXTENSION_MODULE) == 20, "AFX_EXTENSION_MODULE");
static_assert(sizeof(CRuntimeClass) == 24 && kMfcClassLinkOffset == 0x14, "CRuntimeClass");
static_assert(sizeof(CCmdTarget) == 32 && kMfcFactoryLinkOffset == 0x20, "CCmdTarget");
static_assert(sizeof(CDynLinkLibrary) == 64 && offsetof(CDynLinkLibrary, m_pNextDLL) == 0x3C, "CDynLinkLibrary");
static_assert(kChainObjectStorage == 72, "chain object storage");
#endif

#endif
