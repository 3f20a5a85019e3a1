/* The MFC records the module shares with MFC. MFC for the platform is not available here, so their layout is the
 * stand-in library's (standins/mfcce300.cpp); the module only relies on what the registration needs: it owns the
 * extension-module record, knows the chain object's size to allocate it, and moves the heads of the module
 * state's two lists. */
#ifndef MISTVANE_MFC_RECORDS_H
#define MISTVANE_MFC_RECORDS_H

#include <stdint.h>

/* An entry of MFC's list of run-time classes, and of its list of object factories. */
struct MfcRuntimeClass {
    const char* className;
    MfcRuntimeClass* next;
};

struct MfcObjectFactory {
    const char* name;
    MfcObjectFactory* next;
};

struct MfcDynLinkLibrary;

/* MFC's state for the running module. At load the raw attach hook moves the heads of the class and factory lists
 * to the saved-initial fields, so that what the module registers while it initialises can be told apart from what
 * was there before; MFC's initialisation of the extension module puts them back. */
struct MfcModuleState {
    MfcRuntimeClass* classList;
    MfcRuntimeClass* initialClass;
    MfcObjectFactory* factoryList;
    MfcObjectFactory* initialFactory;
    MfcDynLinkLibrary* libraryList;  /* the chain of dynamic-link-library objects, newest first */
};

/* The extension-module record: storage of the module's, contents of MFC's. All zero until initialised. */
struct MfcExtensionModule {
    int32_t initialized;
    void* module;
    void* resources;
    MfcRuntimeClass* firstSharedClass;
    MfcObjectFactory* firstSharedFactory;
};

/* The dynamic-link-library object that links a module into MFC's chain. */
struct MfcDynLinkLibrary {
    MfcDynLinkLibrary* next;
    void* module;
    void* resources;
    MfcRuntimeClass* classList;
    MfcObjectFactory* factoryList;
    int32_t systemModule;
};

#endif
