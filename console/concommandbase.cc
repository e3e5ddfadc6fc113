// The base of console objects and the one registration walk.
#include "console/concommandbase.h"

#include "host/ICvar.h"

// Constant-initialised: the placeholder variable pushes itself during static
// initialisation, before any dynamic initialiser of this file could run.
ConCommandBase *s_pPendingList = nullptr;
IConCommandBaseAccessor *s_pRegistrar = nullptr;
int s_nRegisterFlags = 0;
int s_nModuleId = -1;
bool s_bListRegistered = false;
CDefaultAccessor s_DefaultRegistrar;

QG_EXPORT ICvar *g_pCVar = nullptr;
QG_EXPORT ICvar *cvar = nullptr;

bool CDefaultAccessor::RegisterConCommandBase(ConCommandBase *pCommand) {
  // An object built after the walk while no console service is set would
  // otherwise be handed to a null service.
  if (g_pCVar == nullptr) return false;
  g_pCVar->RegisterConCommand(pCommand);
  return true;
}

ConCommandBase::ConCommandBase()
    : m_pNext(nullptr),
      m_bRegistered(false),
      m_pszName(nullptr),
      m_pszHelpText(nullptr),
      m_nFlags(0) {}

ConCommandBase::~ConCommandBase() {}

bool ConCommandBase::IsCommand() const { return true; }

bool ConCommandBase::HasFlag(int nFlags) const {
  return (m_nFlags & nFlags) != 0;
}

void ConCommandBase::AddFlags(int nFlags) { m_nFlags |= nFlags; }

void ConCommandBase::RemoveFlags(int nFlags) { m_nFlags &= ~nFlags; }

int ConCommandBase::GetFlags() const { return m_nFlags; }

const char *ConCommandBase::GetName() const { return m_pszName; }

const char *ConCommandBase::GetHelpText() const { return m_pszHelpText; }

bool ConCommandBase::IsRegistered() const { return m_bRegistered; }

int ConCommandBase::GetModuleId() const { return s_nModuleId; }

void ConCommandBase::SetUpBase(const char *pszName, const char *pszHelpText,
                               int nFlags) {
  m_bRegistered = false;
  m_pszName = pszName;
  m_pszHelpText = pszHelpText != nullptr ? pszHelpText : "";
  m_nFlags = nFlags;

  if (nFlags & FCVAR_UNREGISTERED) {
    m_pNext = nullptr;
  } else {
    m_pNext = s_pPendingList;
    s_pPendingList = this;
  }

  // After the walk nothing visits the pending list again, so a new object
  // registers at once, whatever its flags.  Through the table, so a derived
  // class's registration is the one that runs.
  if (s_pRegistrar != nullptr) RegisterSelf();
}

void ConCommandBase::RegisterSelf() {
  if (s_pRegistrar != nullptr) s_pRegistrar->RegisterConCommandBase(this);
}

void RegisterConsoleObjects(int nFlags, IConCommandBaseAccessor *pAccessor) {
  // Without a console service the walk does not count as run, so the module
  // can call again once it has one.
  if (g_pCVar == nullptr) return;
  if (s_bListRegistered) return;

  s_nRegisterFlags = nFlags;
  s_bListRegistered = true;
  s_nModuleId = g_pCVar->AllocateDLLIdentifier();
  s_pRegistrar = pAccessor != nullptr ? pAccessor : &s_DefaultRegistrar;

  // The link is read before the object is handed on: the accessor may
  // relink or even replace the object.
  ConCommandBase *pObject = s_pPendingList;
  while (pObject != nullptr) {
    ConCommandBase *pNext = pObject->GetNext();
    pObject->AddFlags(s_nRegisterFlags);
    pObject->RegisterSelf();
    pObject = pNext;
  }
  s_pPendingList = nullptr;
}
