#pragma once
// KEXActionListAttr: a list-of-enum property naming the actions of a sequence. It keeps a default
// list (a table owned by the caller, usually process-wide) that reset() restores, so a filter can
// offer "back to the standard steps" through the framework's generic property reset.
#include "kex/Class.h"
#include "kex/Properties.h"

class KEXActionListAttr : public KEXValueArrayOP<KEXValueArrayPropertyIF<KEXenum>, KEXValueList<KEXenum>>,
                          public KEXClassMember {
public:
  using KEXClassMember::operator new;
  using KEXClassMember::operator delete;
  using Base = KEXValueArrayOP<KEXValueArrayPropertyIF<KEXenum>, KEXValueList<KEXenum>>;

  /// defaults [0 ... count-1] (not copied; must outlive the property) become the default list.
  /// The list itself starts empty: call reset() to load the defaults (it can fail when memory is
  /// short).
  KEXActionListAttr(const KEXenum* defaults, int count) : Base(0, 0, 16), m_defaults(defaults), m_defaultCount(count) {}

  /// Restores the default list. \return false (list unchanged) when memory is short.
  bool reset() override
  {
    if (!m_defaults || m_defaultCount <= 0)
      return Base::reset();
    return initArray(m_defaultCount, m_defaults);
  }

private:
  const KEXenum* m_defaults;
  int m_defaultCount;
};
