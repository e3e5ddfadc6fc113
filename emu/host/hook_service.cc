// Handlers can add and remove hooks, and cause nested hooked calls, while a
// hook loop runs.  So a loop works on a snapshot of the hooks it found at
// set-up, skips those removed since, and nothing that a running loop may
// still touch (a delegate, a manager-info object) is ended before the
// outermost loop ends.
//
// Table entries are written with a single aligned store, the page made
// writable only for that store: the tables of a loaded module are read-only
// after relocation, and stay so.
#include "emu/host/hook_service.h"

#include <inttypes.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

using SourceHook::ISHDelegate;
using SourceHook::META_RES;

struct CHookService::Hook {
  int nId;
  SourceHook::Plugin plug;
  void *pObject;          // the receiver, adjusted by thisptr_offs
  void **ppEntry;         // the receiver's table entry for the operation
  ISHDelegate *pHandler;  // owned
  bool bPost;
  bool bRemoved;
};

struct CHookService::Patch {
  void **ppEntry;     // the patched table entry
  void *pfnOriginal;  // what it held before
};

class CHookService::CManager final : public SourceHook::IHookManagerInfo {
 public:
  explicit CManager(SourceHook::HookManagerPubFunc pfn) : m_pfnManager(pfn) {}

  void SetInfo(int hookman_version, int vtbloffs, int vtblidx,
               SourceHook::ProtoInfo *proto, void *hookfunc_vfnptr) override {
    m_bDescribed = true;
    m_nVersion = hookman_version;
    m_nTableOffset = vtbloffs;
    m_nSlot = vtblidx;
    m_pProto = proto;
    m_pHookFuncEntry = static_cast<void **>(hookfunc_vfnptr);
  }

  bool Usable() const {
    return m_bDescribed && m_nTableOffset >= 0 && m_nSlot >= 0 &&
           m_pHookFuncEntry != nullptr && *m_pHookFuncEntry != nullptr;
  }
  void *HookFunction() const { return *m_pHookFuncEntry; }
  void **EntryOf(void *object) const {
    void **table = *reinterpret_cast<void ***>(static_cast<char *>(object) +
                                               m_nTableOffset);
    return table + m_nSlot;
  }
  Patch *FindPatch(void **ppEntry) {
    for (Patch &patch : m_Patches) {
      if (patch.ppEntry == ppEntry) return &patch;
    }
    return nullptr;
  }

  SourceHook::HookManagerPubFunc m_pfnManager;
  bool m_bDescribed = false;
  int m_nVersion = 0;
  int m_nTableOffset = -1;
  int m_nSlot = -1;
  SourceHook::ProtoInfo *m_pProto = nullptr;
  void **m_pHookFuncEntry = nullptr;
  std::vector<Patch> m_Patches;
  std::vector<std::unique_ptr<Hook>> m_Hooks;
};

class CHookService::CContext final : public SourceHook::IHookContext {
 public:
  CContext(void *pfnOriginal, META_RES *status, META_RES *prevRes,
           META_RES *curRes)
      : m_pfnOriginal(pfnOriginal),
        m_pStatus(status),
        m_pPrevRes(prevRes),
        m_pCurRes(curRes) {}

  ISHDelegate *GetNext() override {
    while (m_nPhase < 2) {
      std::vector<Hook *> &list = m_nPhase == 0 ? m_Pre : m_Post;
      while (m_nNext < list.size()) {
        Hook *hook = list[m_nNext++];
        if (!hook->bRemoved) return hook->pHandler;
      }
      // The end of a list gives one null, then the next list begins.
      ++m_nPhase;
      m_nNext = 0;
      return nullptr;
    }
    return nullptr;
  }

  bool ShouldCallOrig() override {
    return m_pfnOriginal != nullptr &&
           (m_pStatus == nullptr || *m_pStatus < SourceHook::MRES_SUPERCEDE);
  }

  void *m_pfnOriginal;
  META_RES *m_pStatus;
  META_RES *m_pPrevRes;
  META_RES *m_pCurRes;
  std::vector<Hook *> m_Pre;
  std::vector<Hook *> m_Post;
  int m_nPhase = 0;  // 0: pre-handlers, 1: post-handlers, 2: done
  size_t m_nNext = 0;
};

namespace {

// The protection of the mapping that holds [begin, end), from
// /proc/self/maps.  False when no single mapping holds the range.
bool ReadProtection(uintptr_t begin, uintptr_t end, int *prot) {
  FILE *maps = fopen("/proc/self/maps", "r");
  if (maps == nullptr) return false;
  char line[512];
  bool found = false;
  while (!found && fgets(line, sizeof(line), maps) != nullptr) {
    uintptr_t low = 0, high = 0;
    char perms[5] = {0};
    if (sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %4s", &low, &high, perms) !=
        3) {
      continue;
    }
    if (begin < low || end > high) continue;
    *prot = (perms[0] == 'r' ? PROT_READ : 0) |
            (perms[1] == 'w' ? PROT_WRITE : 0) |
            (perms[2] == 'x' ? PROT_EXEC : 0);
    found = true;
  }
  fclose(maps);
  return found;
}

// Stores `value` in the table entry `*ppEntry`, lifting the page's write
// protection for the store and putting it back afterwards.
bool WriteTableEntry(void **ppEntry, void *value) {
  uintptr_t address = reinterpret_cast<uintptr_t>(ppEntry);
  if (address % alignof(void *) != 0) return false;
  uintptr_t pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t page = address & ~(pageSize - 1);
  size_t length = address + sizeof(void *) - page;
  int prot = 0;
  if (!ReadProtection(page, address + sizeof(void *), &prot)) return false;
  if ((prot & PROT_WRITE) != 0) {
    __atomic_store_n(ppEntry, value, __ATOMIC_RELEASE);
    return true;
  }
  void *start = reinterpret_cast<void *>(page);
  if (mprotect(start, length, prot | PROT_WRITE) != 0) return false;
  __atomic_store_n(ppEntry, value, __ATOMIC_RELEASE);
  mprotect(start, length, prot);
  return true;
}

}  // namespace

CHookService::CHookService() : m_nNextHookId(1) {}

CHookService::~CHookService() {
  while (!m_Managers.empty()) {
    CManager *manager = m_Managers.back().get();
    if (manager->m_Hooks.empty()) {
      RetireManager(manager);
      continue;
    }
    // The last hook's Detach retires the manager.
    while (!manager->m_Hooks.empty()) {
      Detach(manager, manager->m_Hooks.size() - 1);
    }
  }
  // Loops still running now cannot be finished; end everything.
  m_Contexts.clear();
  Collect();
}

int CHookService::GetIfaceVersion() { return SourceHook::SH_IFACE_VERSION; }
int CHookService::GetImplVersion() { return SourceHook::SH_IMPL_VERSION; }

CHookService::CManager *CHookService::FindManager(
    SourceHook::HookManagerPubFunc pfn) const {
  for (const std::unique_ptr<CManager> &manager : m_Managers) {
    if (manager->m_pfnManager == pfn) return manager.get();
  }
  return nullptr;
}

CHookService::CManager *CHookService::FindManager(
    SourceHook::IHookManagerInfo *hi) const {
  for (const std::unique_ptr<CManager> &manager : m_Managers) {
    if (manager.get() == hi) return manager.get();
  }
  return nullptr;
}

int CHookService::AddHook(SourceHook::Plugin plug, SourceHook::AddHookMode mode,
                          void *iface, int thisptr_offs,
                          SourceHook::HookManagerPubFunc myHookMan,
                          ISHDelegate *handler, bool post) {
  if (handler == nullptr) return 0;
  // The delegate is ours from the call on, so a refusal ends it.
  if (mode != SourceHook::Hook_Normal || iface == nullptr ||
      myHookMan == nullptr) {
    handler->DeleteThis();
    return 0;
  }
  void *object = static_cast<char *>(iface) + thisptr_offs;

  CManager *manager = FindManager(myHookMan);
  bool bNewManager = false;
  if (manager == nullptr) {
    std::unique_ptr<CManager> fresh(new CManager(myHookMan));
    int refused = myHookMan(true, fresh.get());
    if (refused != 0 || !fresh->Usable()) {
      // A manager that accepted has kept our info object: take it back.
      if (refused == 0) myHookMan(true, nullptr);
      handler->DeleteThis();
      return 0;
    }
    manager = fresh.get();
    m_Managers.push_back(std::move(fresh));
    bNewManager = true;
  }

  void **ppEntry = manager->EntryOf(object);
  if (manager->FindPatch(ppEntry) == nullptr) {
    void *original = *ppEntry;
    if (!WriteTableEntry(ppEntry, manager->HookFunction())) {
      if (bNewManager) {
        RetireManager(manager);
        Collect();
      }
      handler->DeleteThis();
      return 0;
    }
    manager->m_Patches.push_back(Patch{ppEntry, original});
  }

  std::unique_ptr<Hook> hook(
      new Hook{m_nNextHookId++, plug, object, ppEntry, handler, post, false});
  int id = hook->nId;
  manager->m_Hooks.push_back(std::move(hook));
  return id;
}

bool CHookService::RemoveHook(SourceHook::Plugin plug, void *iface,
                              int thisptr_offs,
                              SourceHook::HookManagerPubFunc myHookMan,
                              ISHDelegate *handler, bool post) {
  if (handler == nullptr || iface == nullptr) return false;
  CManager *manager = FindManager(myHookMan);
  if (manager == nullptr) return false;
  void *object = static_cast<char *>(iface) + thisptr_offs;
  for (size_t i = 0; i < manager->m_Hooks.size(); ++i) {
    Hook *hook = manager->m_Hooks[i].get();
    if (hook->plug == plug && hook->pObject == object && hook->bPost == post &&
        hook->pHandler->IsEqual(handler)) {
      Detach(manager, i);
      Collect();
      return true;
    }
  }
  return false;
}

void CHookService::RemovePluginHooks(SourceHook::Plugin plug) {
  // Detach may retire a manager, which takes it out of m_Managers; walk a
  // copy of the list (retired managers live on until Collect).
  std::vector<CManager *> managers;
  for (const std::unique_ptr<CManager> &manager : m_Managers) {
    managers.push_back(manager.get());
  }
  for (CManager *manager : managers) {
    for (size_t i = manager->m_Hooks.size(); i-- > 0;) {
      if (manager->m_Hooks[i]->plug == plug) Detach(manager, i);
    }
  }
  Collect();
}

void CHookService::Detach(CManager *manager, size_t index) {
  std::unique_ptr<Hook> hook = std::move(manager->m_Hooks[index]);
  manager->m_Hooks.erase(manager->m_Hooks.begin() + index);
  hook->bRemoved = true;
  void **ppEntry = hook->ppEntry;
  m_RetiredHooks.push_back(std::move(hook));

  bool bEntryInUse =
      std::any_of(manager->m_Hooks.begin(), manager->m_Hooks.end(),
                  [ppEntry](const std::unique_ptr<Hook> &h) {
                    return h->ppEntry == ppEntry;
                  });
  if (!bEntryInUse) {
    for (size_t i = 0; i < manager->m_Patches.size(); ++i) {
      if (manager->m_Patches[i].ppEntry == ppEntry) {
        Unpatch(manager, i);
        break;
      }
    }
  }
  if (manager->m_Hooks.empty()) RetireManager(manager);
}

void CHookService::Unpatch(CManager *manager, size_t patchIndex) {
  Patch patch = manager->m_Patches[patchIndex];
  manager->m_Patches.erase(manager->m_Patches.begin() + patchIndex);
  void *hookFunction = manager->HookFunction();
  if (*patch.ppEntry == hookFunction) {
    // Should the write fail the entry keeps the hook function, which finds
    // no patch and so calls no original; failing to restore a page that was
    // written before does not happen short of a remapping.
    WriteTableEntry(patch.ppEntry, patch.pfnOriginal);
    return;
  }
  // Another manager hooked the same entry after this one and holds this
  // manager's hook function as its original: unlink this one from the chain.
  for (const std::unique_ptr<CManager> &other : m_Managers) {
    for (Patch &chained : other->m_Patches) {
      if (chained.ppEntry == patch.ppEntry &&
          chained.pfnOriginal == hookFunction) {
        chained.pfnOriginal = patch.pfnOriginal;
      }
    }
  }
}

void CHookService::RetireManager(CManager *manager) {
  while (!manager->m_Patches.empty()) Unpatch(manager, 0);
  for (size_t i = 0; i < m_Managers.size(); ++i) {
    if (m_Managers[i].get() == manager) {
      m_RetiredManagers.push_back(std::move(m_Managers[i]));
      m_Managers.erase(m_Managers.begin() + i);
      break;
    }
  }
  manager->m_pfnManager(true, nullptr);
}

void CHookService::Collect() {
  if (!m_Contexts.empty()) return;
  // Ending a delegate runs its module's code, which may call back into the
  // service; take the lists out first.
  std::vector<std::unique_ptr<Hook>> hooks;
  hooks.swap(m_RetiredHooks);
  for (std::unique_ptr<Hook> &hook : hooks) hook->pHandler->DeleteThis();
  m_RetiredManagers.clear();
}

SourceHook::IHookContext *CHookService::SetupHookLoop(
    SourceHook::IHookManagerInfo *hi, void *vfnptr, void *thisptr,
    void **origCallAddr, META_RES *statusPtr, META_RES *prevResPtr,
    META_RES *curResPtr, const void *origRetPtr, void *overrideRetPtr) {
  CManager *manager = FindManager(hi);
  void **ppEntry = static_cast<void **>(vfnptr);
  Patch *patch = manager == nullptr ? nullptr : manager->FindPatch(ppEntry);
  std::unique_ptr<CContext> context(
      new CContext(patch == nullptr ? nullptr : patch->pfnOriginal, statusPtr,
                   prevResPtr, curResPtr));
  if (patch != nullptr) {
    for (const std::unique_ptr<Hook> &hook : manager->m_Hooks) {
      if (hook->ppEntry != ppEntry || hook->pObject != thisptr) continue;
      (hook->bPost ? context->m_Post : context->m_Pre).push_back(hook.get());
    }
  }
  if (origCallAddr != nullptr) *origCallAddr = context->m_pfnOriginal;
  m_Contexts.push_back(std::move(context));
  return m_Contexts.back().get();
}

void CHookService::EndContext(SourceHook::IHookContext *ctx) {
  for (size_t i = m_Contexts.size(); i-- > 0;) {
    if (m_Contexts[i].get() == ctx) {
      m_Contexts.erase(m_Contexts.begin() + i);
      break;
    }
  }
  Collect();
}

bool CHookService::SetResult(META_RES result) {
  if (m_Contexts.empty() || m_Contexts.back()->m_pCurRes == nullptr) {
    return false;
  }
  *m_Contexts.back()->m_pCurRes = result;
  return true;
}

META_RES CHookService::GetStatus() const {
  if (m_Contexts.empty() || m_Contexts.back()->m_pStatus == nullptr) {
    return SourceHook::MRES_IGNORED;
  }
  return *m_Contexts.back()->m_pStatus;
}

META_RES CHookService::GetPrevResult() const {
  if (m_Contexts.empty() || m_Contexts.back()->m_pPrevRes == nullptr) {
    return SourceHook::MRES_IGNORED;
  }
  return *m_Contexts.back()->m_pPrevRes;
}

size_t CHookService::CountHooks() const {
  size_t count = 0;
  for (const std::unique_ptr<CManager> &manager : m_Managers) {
    count += manager->m_Hooks.size();
  }
  return count;
}
