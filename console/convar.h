// Console variables: a named value kept as text, 32-bit float and 32-bit
// integer at once, optionally held between bounds, announcing every change
// to its own callback and then to the console service's broadcast
// (g_pCVar->CallGlobalChangeCallbacks).
//
// A ConVar is seen in two ways: as a ConCommandBase (registration and the
// broadcast pass this view) and as an IConVar (the public setters; the view
// a variable's own callback receives).  Both tables of virtual operations
// are binary contracts with the engine: never reorder, insert or remove.
//
// Not thread-safe.  Notifications run synchronously inside the setter.
#ifndef QUELLGATE_CONSOLE_CONVAR_H_
#define QUELLGATE_CONSOLE_CONVAR_H_

#include <stdint.h>

#include "console/concommandbase.h"

class IConVar;
class ConVar;

// A colour packed into one 32-bit word, passed by value; the framework
// passes the word through unchanged.
struct PackedColor {
  uint32_t m_nValue;
};

// A variable's own change callback: (the variable's IConVar view, the old
// value text, the old float value).  The old text is valid only during the
// call.
typedef void (*VarChangeFn)(IConVar *var, const char *pOldValue,
                            float flOldValue);

class IConVar {
 public:
  // Virtual operations, in contract order.  The setters act on the root.
  virtual void SetValue(PackedColor value) = 0;
  virtual void SetValue(int nValue) = 0;
  virtual void SetValue(float flValue) = 0;
  virtual void SetValue(const char *pszValue) = 0;  // non-null text
  virtual const char *GetName() const = 0;
  virtual const char *GetRootName() const = 0;
  virtual bool HasFlag(int nFlags) const = 0;
  virtual int GetIndex() const = 0;

 protected:
  ~IConVar() = default;
};

class ConVar : public ConCommandBase, public IConVar {
 public:
  // Sets the variable up with no bounds and no callback, then enters it into
  // the pending list or registers it (see ConCommandBase::SetUpBase).  The
  // default is stored unclamped; creation notifies nobody.  The name, help
  // text and default are not copied and must outlive the variable.
  ConVar(const char *pszName, const char *pszDefault, int nFlags,
         const char *pszHelpText);

  // Virtual operations as seen through ConCommandBase, in contract order.
  //
  // Releases the value buffer.
  ~ConVar() override;
  bool IsCommand() const override;  // false
  // The reads below show the root variable.
  bool HasFlag(int nFlags) const override;
  void AddFlags(int nFlags) override;
  // RemoveFlags: ConCommandBase's.
  int GetFlags() const override;
  const char *GetName() const override;
  const char *GetHelpText() const override;
  bool IsRegistered() const override;
  // GetModuleId, SetUpBase, RegisterSelf: ConCommandBase's.

 protected:
  // Stores the text and its number (clamped numbers are stored as "%f"
  // text), then notifies.  Does not compare with the current value.
  virtual void ApplyText(const char *pszValue);
  // Ignores a value equal to the current float (before clamping).
  virtual void ApplyFloat(float flValue);
  // Ignores a value equal to the current integer.
  virtual void ApplyInt(int nValue);
  // ApplyInt with the colour word read as a signed 32-bit integer.
  virtual void ApplyColor(PackedColor value);
  // Moves value onto a violated bound (lower bound first) and answers true;
  // bounds are strict, NaN passes.
  virtual bool ClampToBounds(float &flValue);
  // Stores the new text and notifies the own callback, then the broadcast,
  // passing the old text.  When a buffer cannot be had, the variable keeps
  // its old text and nobody is notified.
  virtual void ReplaceText(const char *pszNewValue, float flOldValue);
  virtual void SetUpVariable(const char *pszName, const char *pszDefault,
                             int nFlags, const char *pszHelpText, bool bHasMin,
                             float flMin, bool bHasMax, float flMax,
                             VarChangeFn pfnOnChange);

 public:
  // Virtual operations of the IConVar view, in contract order.
  void SetValue(PackedColor value) override;
  void SetValue(int nValue) override;
  void SetValue(float flValue) override;
  void SetValue(const char *pszValue) override;
  // GetName: as above.
  const char *GetRootName() const override;
  // HasFlag: as above.
  int GetIndex() const override;  // 0

  // Plain reads, outside both tables.
  int GetInt() const { return m_pRoot->m_nIntValue; }
  float GetFloat() const { return m_pRoot->m_flValue; }
  // "FCVAR_NEVER_AS_STRING" when this variable has that flag; otherwise the
  // root's value text ("" when it has none).
  const char *GetString() const {
    if (m_nFlags & FCVAR_NEVER_AS_STRING) return "FCVAR_NEVER_AS_STRING";
    return m_pRoot->m_pszValue != nullptr ? m_pRoot->m_pszValue : "";
  }
  // The root's default text, never null.
  const char *GetDefault() const { return m_pRoot->m_pszDefault; }

 protected:
  // The work of ReplaceText; answers false, having changed and notified
  // nothing, when no buffer could be had for the new text or the old one.
  // The setters use the answer to put back the numbers they had already
  // taken, so the three forms of the value never disagree.
  bool StoreText(const char *pszNewValue, float flOldValue);

  ConVar *m_pRoot = nullptr;
  const char *m_pszDefault = nullptr;
  char *m_pszValue = nullptr;  // module heap (malloc); owned
  int m_nValueSize = 0;        // bytes of m_pszValue; never shrinks
  float m_flValue = 0.0f;
  int m_nIntValue = 0;
  bool m_bHasMin = false;
  float m_flMin = 0.0f;
  bool m_bHasMax = false;
  float m_flMax = 0.0f;
  VarChangeFn m_pfnOnChange = nullptr;
};

// The placeholder variable: ignores every setter, answers the empty name
// and no flags.
class CEmptyConVar : public ConVar {
 public:
  CEmptyConVar();

  bool HasFlag(int nFlags) const override;  // false
  const char *GetName() const override;     // ""
  void SetValue(PackedColor value) override {}
  void SetValue(int nValue) override {}
  void SetValue(float flValue) override {}
  void SetValue(const char *pszValue) override {}
};

// Built first of all the module's static objects, so it sits at the bottom
// of the pending list and the walk registers it last.  Destroyed at exit.
extern CEmptyConVar s_EmptyVariable;

#endif  // QUELLGATE_CONSOLE_CONVAR_H_
