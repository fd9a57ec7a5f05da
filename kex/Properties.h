#pragma once
// Property templates of the framework:
// - KEXSingleValuePropertyIF<T>: one value of interface type T (getValue, setValue, check, reset);
//   KEXSingleValueOP<IF, S> stores it as S, with a default and a value check.
// - KEXValueArrayPropertyIF<E>: an array with index range 0 ... n-1 (empty: 0 ... -1), item reads
//   and writes; KEXValueArrayOP<IF, KEXValueList<S>> stores it as S, converting E <-> S by
//   constructors, so writes can fail when memory is short.
// - Links to objects: KEXObjectLink holds a reference; soft links store no reference; hard and
//   parent links do; KEXObjectHardLinkListOP is an array of hard links.
// A write that changes nothing (every converted element equals the stored one) gets no new stamp
// and raises no notification.
#include "kex/Object.h"
#include "kex/Values.h"

#include <cstring>
#include <string>
#include <typeinfo>
#include <utility>

/// Typed read-only provider of a property value.
template <class T>
class KEXValueProvider : public KEXProperty::Extension {
public:
  /// Computes the value; false makes the read fail.
  virtual bool provide(T& value) const = 0;
};

// --- check results ---------------------------------------------------------------------------------
/// Check results: a value is accepted when bit 0x100 is set; 0x300 is "accepted", 0 "refused".
inline constexpr unsigned int KEX_CHECK_ACCEPTED = 0x300;
inline constexpr unsigned int KEX_CHECK_MASK = 0x300;
inline constexpr unsigned int KEX_CHECK_STORE_BIT = 0x100;

// --- single values ---------------------------------------------------------------------------------
template <class T>
class KEXSingleValuePropertyIF : public KEXProperty {
public:
  using ValueType = T;
  explicit KEXSingleValuePropertyIF(unsigned int flags = 0, unsigned int protectedFlags = 0)
      : KEXProperty(flags, protectedFlags) {}
  virtual bool getValue(T& value) const = 0;
  /// Stores value when check() accepts it. False when refused, read-only or memory is short.
  virtual bool setValue(const T& value) = 0;
  /// Check mask of a value (0x300 accepted, 0 refused).
  virtual unsigned int check(const T&) const { return KEX_CHECK_ACCEPTED; }
};

/// How an interface value T is kept as a stored value S. The general rule converts by constructors;
/// strings have their own.
template <class T, class S>
struct KEXValueStorage {
  static bool load(const S& stored, T& value)
  {
    value = T(stored);
    return true;
  }
  /// Writes value into stored; changed tells whether the stored value differs afterwards.
  static bool store(S& stored, const T& value, bool& changed)
  {
    S s(value);
    changed = !(s == stored);
    if (changed)
      stored = std::move(s);
    return true;
  }
};

template <>
struct KEXValueStorage<const char*, KEXCString> {
  static bool load(const KEXCString& stored, const char*& value)
  {
    value = stored.get();
    return true;
  }
  static bool store(KEXCString& stored, const char* const& value, bool& changed)
  {
    const char* old = stored.get();
    changed = (old == nullptr) != (value == nullptr) || (old && value && std::strcmp(old, value) != 0);
    return !changed || stored.set(value);
  }
};

/// Stored single value with a default. reset() restores the default; if that cannot be stored the
/// value becomes T().
template <class IF, class S>
class KEXSingleValueOP : public IF {
public:
  using T = typename IF::ValueType;

  KEXSingleValueOP() = default;
  /// Starts with defaultValue as default and value. Check isInitialized() for a failed string copy.
  explicit KEXSingleValueOP(const T& defaultValue, unsigned int flags = 0, unsigned int protectedFlags = 0)
      : IF(flags, protectedFlags)
  {
    bool changed = false;
    m_ok = KEXValueStorage<T, S>::store(m_default, defaultValue, changed) &&
           KEXValueStorage<T, S>::store(m_value, defaultValue, changed);
  }
  KEXSingleValueOP(const KEXSingleValueOP& other) = default;
  KEXSingleValueOP& operator=(const KEXSingleValueOP& other) = default;

  /// False when the constructor could not store the default.
  bool isInitialized() const { return m_ok; }

  bool getValue(T& value) const override
  {
    if (auto* provider = dynamic_cast<const KEXValueProvider<T>*>(this->getExtension()))
      return provider->provide(value);
    if (this->getExtension())
      return false;
    return KEXValueStorage<T, S>::load(m_value, value);
  }

  bool setValue(const T& value) override
  {
    if (this->getExtension() || !(this->check(value) & KEX_CHECK_STORE_BIT))
      return false;
    bool changed = false;
    if (!KEXValueStorage<T, S>::store(m_value, value, changed))
      return false;
    if (changed)
      this->valueChanged();
    return true;
  }

  /// Sets the default used by reset(). False when memory is short.
  bool setDefault(const T& value)
  {
    bool changed = false;
    return KEXValueStorage<T, S>::store(m_default, value, changed);
  }
  bool getDefault(T& value) const { return KEXValueStorage<T, S>::load(m_default, value); }

  bool reset() override
  {
    T value;
    bool changed = false;
    if (!(KEXValueStorage<T, S>::load(m_default, value) && KEXValueStorage<T, S>::store(m_value, value, changed))) {
      if (!KEXValueStorage<T, S>::store(m_value, T(), changed))
        return false;
    }
    if (changed)
      this->valueChanged();
    return true;
  }

  /// The stored value itself.
  const S& getStored() const { return m_value; }

private:
  S m_value{};
  S m_default{};
  bool m_ok = true;
};

// --- arrays --------------------------------------------------------------------------------------
namespace kexdetail {
template <class E>
const char* arrayPropertyClassName()
{
  // Leaked on purpose: metaclasses keep the pointer.
  static const std::string* name = new std::string(std::string("KEXValueArrayPropertyIF<") + typeid(E).name() + ">");
  return name->c_str();
}
template <>
inline const char* arrayPropertyClassName<int>() { return "KEXValueArrayPropertyIF<int>"; }
template <>
inline const char* arrayPropertyClassName<float>() { return "KEXValueArrayPropertyIF<float>"; }
template <>
inline const char* arrayPropertyClassName<KEXVector2<float>>() { return "KEXValueArrayPropertyIF<KEXVector2<float>>"; }
template <>
inline const char* arrayPropertyClassName<KEXVector3<float>>() { return "KEXValueArrayPropertyIF<KEXVector3<float>>"; }
template <>
inline const char* arrayPropertyClassName<KEXRGBA<float>>() { return "KEXValueArrayPropertyIF<KEXRGBA<float>>"; }
template <>
inline const char* arrayPropertyClassName<KEXenum>() { return "KEXValueArrayPropertyIF<KEXenum>"; }
/// The abstract-class factory of the framework (creates nothing).
const KEXMetaClass::Factory& abstractPropertyFactory();
} // namespace kexdetail

template <class E>
class KEXValueArrayPropertyIF : public KEXProperty {
public:
  using ElementType = E;
  explicit KEXValueArrayPropertyIF(unsigned int flags = 0, unsigned int protectedFlags = 0)
      : KEXProperty(flags, protectedFlags) {}
  const KEXMetaClass& getMetaClass() const override { return metaClass(); }
  static const KEXMetaClass& metaClass()
  {
    static const KEXMetaClass* m =
        new KEXMetaClass(kexdetail::arrayPropertyClassName<E>(), sizeof(KEXValueArrayPropertyIF), &KEXProperty::metaClass(),
                         &kexdetail::abstractPropertyFactory(), "kex", 0, 0, 0, nullptr, nullptr, false);
    return *m;
  }

  /// first is 0, last is count - 1 (an empty array: 0 ... -1).
  virtual bool getIndexRange(int& first, int& last) const = 0;
  /// Resizes to last + 1 items; first must be 0. New items are value-initialised.
  virtual bool setIndexRange(int first, int last) = 0;
  /// Reads items first ... last; false when the range lies outside the array.
  virtual bool getItems(int first, int last, E* items) const = 0;
  /// Writes items first ... last; false when the range lies outside the array.
  virtual bool setItems(int first, int last, const E* items) = 0;
  /// Makes the array count items long with the given content (null: value-initialised).
  virtual bool initArray(int count, const E* items)
  {
    if (count < 0 || !setIndexRange(0, count - 1))
      return false;
    return !items || count == 0 || setItems(0, count - 1, items);
  }

  /// 0 when equal; otherwise negative or positive. Base: equal or 1.
  virtual int compare(const E& a, const E& b) const { return a == b ? 0 : 1; }
  virtual bool readItem(int index, E& item) const { return getItems(index, index, &item); }
  /// First index at or after start whose item compares equal, or -1.
  virtual int findItem(const E& item, int start = 0) const
  {
    int first = 0, last = -1;
    if (!getIndexRange(first, last))
      return -1;
    E value{};
    for (int i = start < 0 ? 0 : start; i <= last; ++i)
      if (readItem(i, value) && compare(value, item) == 0)
        return i;
    return -1;
  }
  /// Inserts item before index (0 ... count), keeping the order of the others.
  virtual bool insertItem(int index, const E& item) = 0;
  /// Removes the item at index, keeping the order of the others.
  virtual bool removeItem(int index) = 0;

  /// The empty null property: range 0 ... -1, refuses every write (also an empty one).
  static KEXValueArrayPropertyIF& null();

  int getCount() const
  {
    int first = 0, last = -1;
    return getIndexRange(first, last) ? last - first + 1 : 0;
  }
};

template <class E>
class KEXNullArrayProperty final : public KEXValueArrayPropertyIF<E> {
public:
  bool getIndexRange(int& first, int& last) const override
  {
    first = 0;
    last = -1;
    return true;
  }
  bool setIndexRange(int, int) override { return false; }
  bool getItems(int first, int last, E*) const override { return first == 0 && last == -1; }
  bool setItems(int, int, const E*) override { return false; }
  bool initArray(int, const E*) override { return false; }
  bool insertItem(int, const E&) override { return false; }
  bool removeItem(int) override { return false; }
};

template <class E>
KEXValueArrayPropertyIF<E>& KEXValueArrayPropertyIF<E>::null()
{
  static KEXNullArrayProperty<E>* p = new KEXNullArrayProperty<E>;
  return *p;
}

template <class IF, class L>
class KEXValueArrayOP;

/// Array storage: interface elements E kept as S in a KEXValueList<S>.
template <class IF, class S>
class KEXValueArrayOP<IF, KEXValueList<S>> : public IF {
public:
  using E = typename IF::ElementType;

  explicit KEXValueArrayOP(unsigned int flags = 0, unsigned int protectedFlags = 0, int blockSize = 1024)
      : IF(flags, protectedFlags), m_list(blockSize, true) {}
  /// Copies the items; when memory is short the copy is shorter (compare counts).
  KEXValueArrayOP(const KEXValueArrayOP& other) = default;
  KEXValueArrayOP& operator=(const KEXValueArrayOP& other)
  {
    if (this != &other) {
      IF::operator=(other);
      setList(other.m_list);
    }
    return *this;
  }

  bool getIndexRange(int& first, int& last) const override
  {
    first = 0;
    last = m_list.getCount() - 1;
    return true;
  }

  bool setIndexRange(int first, int last) override
  {
    if (first != 0 || last < -1 || this->getExtension())
      return false;
    if (last + 1 == m_list.getCount())
      return true;
    if (!m_list.setLastIndex(last, S()))
      return false;
    this->valueChanged();
    return true;
  }

  bool getItems(int first, int last, E* items) const override
  {
    if (!inRange(first, last) || (!items && last >= first))
      return false;
    const S* src = m_list.getData() + first;
    for (int i = 0, n = last - first + 1; i < n; ++i)
      items[i] = E(src[i]);
    return true;
  }

  bool setItems(int first, int last, const E* items) override
  {
    if (!inRange(first, last) || (!items && last >= first) || this->getExtension())
      return false;
    S* dst = m_list.getData() + first;
    bool changed = false;
    for (int i = 0, n = last - first + 1; i < n; ++i) {
      S s(items[i]);
      if (!(s == dst[i])) {
        dst[i] = s;
        changed = true;
      }
    }
    if (changed)
      this->valueChanged();
    return true;
  }

  /// One notification for the whole initialisation; the array is unchanged when memory is short.
  bool initArray(int count, const E* items) override
  {
    if (count < 0 || this->getExtension())
      return false;
    bool changed = count != m_list.getCount();
    if (changed && !m_list.setCount(count, S()))
      return false;
    S* dst = m_list.getData();
    for (int i = 0; i < count; ++i) {
      S s = items ? S(items[i]) : S();
      if (!(s == dst[i])) {
        dst[i] = s;
        changed = true;
      }
    }
    if (changed)
      this->valueChanged();
    return true;
  }

  bool insertItem(int index, const E& item) override
  {
    if (this->getExtension() || !m_list.insert(index, S(item)))
      return false;
    this->valueChanged();
    return true;
  }

  bool removeItem(int index) override
  {
    if (this->getExtension() || !m_list.remove(index))
      return false;
    this->valueChanged();
    return true;
  }

  bool reset() override
  {
    if (this->getExtension())
      return false;
    if (m_list.getCount() == 0)
      return true;
    m_list.clear();
    this->valueChanged();
    return true;
  }

  /// The stored list (read-only; writes go through the interface so that changes are noticed).
  const KEXValueList<S>& getList() const { return m_list; }
  /// Replaces the content by a copy of list; false (unchanged) when memory is short.
  bool setList(const KEXValueList<S>& list)
  {
    KEXValueList<S> copy(list);
    if (copy.getCount() != list.getCount())
      return false;
    m_list.swap(copy);
    this->valueChanged();
    return true;
  }

private:
  bool inRange(int first, int last) const { return first >= 0 && last < m_list.getCount() && first <= last + 1; }
  KEXValueList<S> m_list;
};

// --- links ---------------------------------------------------------------------------------------
/// A link to an object with a role. Holds one reference to its target while it exists.
class KEXObjectLink {
public:
  KEXObjectLink() = default;
  explicit KEXObjectLink(KEXObject* target, KEXenum role = KEX::Unknown) : m_target(target), m_role(role)
  {
    if (m_target)
      m_target->addRef();
  }
  KEXObjectLink(const KEXObjectLink& other) : KEXObjectLink(other.m_target, other.m_role) {}
  KEXObjectLink(KEXObjectLink&& other) noexcept : m_target(other.m_target), m_role(other.m_role)
  {
    other.m_target = nullptr;
  }
  KEXObjectLink& operator=(KEXObjectLink other) noexcept
  {
    std::swap(m_target, other.m_target);
    std::swap(m_role, other.m_role);
    return *this;
  }
  ~KEXObjectLink()
  {
    if (m_target)
      m_target->release();
  }
  KEXObject* get() const { return m_target; }
  KEXenum getRole() const { return m_role; }
  bool isNull() const { return m_target == nullptr; }
  bool operator==(const KEXObjectLink& o) const { return m_target == o.m_target && (!m_target || m_role == o.m_role); }
  bool operator!=(const KEXObjectLink& o) const { return !(*this == o); }

private:
  KEXObject* m_target = nullptr;
  KEXenum m_role = KEX::Unknown;
};

/// Stored form of a soft link: target and role, no reference.
struct KEXObjectSoftReference {
  KEXObject* target = nullptr;
  KEXenum role = KEX::Unknown;
  KEXObjectSoftReference() = default;
  explicit KEXObjectSoftReference(const KEXObjectLink& link) : target(link.get()), role(link.getRole()) {}
  explicit operator KEXObjectLink() const { return KEXObjectLink(target, role); }
  bool operator==(const KEXObjectSoftReference& o) const { return target == o.target && (!target || role == o.role); }
};

using KEXObjectLinkPropertyIF = KEXSingleValuePropertyIF<KEXObjectLink>;

/// Link that does not keep its target alive.
class KEXObjectSoftLinkOP : public KEXSingleValueOP<KEXObjectLinkPropertyIF, KEXObjectSoftReference> {
public:
  using KEXSingleValueOP::KEXSingleValueOP;
};

/// Link that holds a reference to its target.
class KEXObjectHardLinkOP : public KEXSingleValueOP<KEXObjectLinkPropertyIF, KEXObjectLink> {
public:
  using KEXSingleValueOP::KEXSingleValueOP;
};

/// Link to the owning (parent) object; holds a reference like a hard link.
class KEXObjectParentLinkOP : public KEXObjectHardLinkOP {
public:
  using KEXObjectHardLinkOP::KEXObjectHardLinkOP;
};

/// A list of hard links.
class KEXObjectHardLinkListOP
    : public KEXValueArrayOP<KEXValueArrayPropertyIF<KEXObjectLink>, KEXValueList<KEXObjectLink>> {
public:
  explicit KEXObjectHardLinkListOP(unsigned int flags = 0, unsigned int protectedFlags = 0)
      : KEXValueArrayOP(flags, protectedFlags, 16) {}
};

// --- typed access of KEXObject -----------------------------------------------------------------------
template <class T>
bool KEXObject::getValue(KEXenum name, T& value) const
{
  auto* p = dynamic_cast<const KEXSingleValuePropertyIF<T>*>(getProperty(name));
  return p && p->getValue(value);
}
template <class T>
bool KEXObject::setValue(KEXenum name, const T& value)
{
  auto* p = dynamic_cast<KEXSingleValuePropertyIF<T>*>(getProperty(name));
  return p && p->setValue(value);
}
template <class E>
bool KEXObject::getIndexRange(KEXenum name, int& first, int& last) const
{
  auto* p = dynamic_cast<const KEXValueArrayPropertyIF<E>*>(getProperty(name));
  return p && p->getIndexRange(first, last);
}
template <class E>
bool KEXObject::setIndexRange(KEXenum name, int first, int last)
{
  auto* p = dynamic_cast<KEXValueArrayPropertyIF<E>*>(getProperty(name));
  return p && p->setIndexRange(first, last);
}
template <class E>
bool KEXObject::getArrayItems(KEXenum name, int first, int last, E* items) const
{
  auto* p = dynamic_cast<const KEXValueArrayPropertyIF<E>*>(getProperty(name));
  return p && p->getItems(first, last, items);
}
template <class E>
bool KEXObject::setArrayItems(KEXenum name, int first, int last, const E* items)
{
  auto* p = dynamic_cast<KEXValueArrayPropertyIF<E>*>(getProperty(name));
  return p && p->setItems(first, last, items);
}
template <class E>
bool KEXObject::getArray(KEXenum name, KEXValueList<E>& list) const
{
  int first = 0, last = -1;
  return getIndexRange<E>(name, first, last) && list.setCount(last - first + 1) &&
         (last < first || getArrayItems<E>(name, first, last, list.getData()));
}
template <class E>
bool KEXObject::initArray(KEXenum name, int count, const E* items)
{
  auto* p = dynamic_cast<KEXValueArrayPropertyIF<E>*>(getProperty(name));
  return p && p->initArray(count, items);
}

// --- filters -------------------------------------------------------------------------------------
/// Base of filters: an object with the four hard links FirstSource, SecondSource,
/// FirstDestination and SecondDestination (any object or null).
class KEXFilter : public KEXObject {
public:
  /// Registers the four links; a failed registration is reported through KEXError.
  explicit KEXFilter(unsigned int flags = 0);
  /// Copies the links.
  KEXFilter(const KEXFilter& other);
  KEXFilter& operator=(const KEXFilter& other);
  ~KEXFilter() override;
  const KEXMetaClass& getMetaClass() const override;
  static const KEXMetaClass& metaClass();
  KEXenum getObjectID(int level) const override;

  /// The target of one of the four links (null when empty or unknown).
  KEXObject* getLinkTarget(KEXenum link) const;

private:
  void registerLinks();
  KEXObjectHardLinkOP m_firstSource, m_secondSource, m_firstDestination, m_secondDestination;
};
