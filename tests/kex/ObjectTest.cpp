// Objects, properties, links, hooks, notifications and actions of the framework stand-in.
#include "kex/Properties.h"
#include "kex/Testing.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

constexpr KEXenum A{"TestA"}, B{"TestB"}, C{"TestC"}, D{"TestD"};

using FloatOP = KEXSingleValueOP<KEXSingleValuePropertyIF<float>, float>;
using ColorListOP = KEXValueArrayOP<KEXValueArrayPropertyIF<KEXRGBA<float>>, KEXValueList<KEXRGBA<unsigned char>>>;
using IntListOP = KEXValueArrayOP<KEXValueArrayPropertyIF<int>, KEXValueList<char>>;
using StringOP = KEXSingleValueOP<KEXSingleValuePropertyIF<const char*>, KEXCString>;

struct Recorder : KEXObject::Observer {
  std::vector<std::string> names;
  void propertyChanged(KEXObject&, KEXenum property) override { names.push_back(property.getString()); }
};

// A hook that announces another property of the same object, like a derived-value chain.
struct ForwardHook : KEXProperty::ChangeHook {
  KEXenum target;
  int calls = 0;
  explicit ForwardHook(KEXenum t) : target(t) {}
  void changed(KEXProperty& p) override
  {
    ++calls;
    p.getOwner()->lock(KEX::PropertyMessage);
    p.getOwner()->notifyPropertyChanged(target);
    p.getOwner()->unlock(KEX::PropertyMessage);
  }
};

struct Counted : KEXObject {
  static int destroyed;
  ~Counted() override { ++destroyed; }
};
int Counted::destroyed = 0;

struct SumProvider : KEXValueProvider<float> {
  const FloatOP* source = nullptr;
  mutable int reads = 0;
  bool fail = false;
  bool provide(float& v) const override
  {
    ++reads;
    float s = 0;
    if (fail || !source->getValue(s))
      return false;
    v = 2 * s;
    return true;
  }
};

TEST(KexObject, PropertyMessageLockDeliversEachNameOnceInFirstRaiseOrder)
{
  KEXObject object;
  FloatOP a(0.0f), b(0.0f);
  ASSERT_EQ(object.addProperty(A, &a), KEX::NoError);
  ASSERT_EQ(object.addProperty(B, &b), KEX::NoError);
  Recorder rec;
  object.addObserver(&rec);

  ASSERT_TRUE(object.lock(KEX::PropertyMessage));
  ASSERT_TRUE(object.lock(KEX::PropertyMessage)); // nested
  for (int i = 1; i <= 5; ++i) {
    ASSERT_TRUE(b.setValue(float(i)));
    ASSERT_TRUE(a.setValue(float(i)));
  }
  ASSERT_TRUE(object.unlock(KEX::PropertyMessage));
  EXPECT_TRUE(rec.names.empty()) << "inner unlock must not deliver";
  ASSERT_TRUE(object.unlock(KEX::PropertyMessage));
  EXPECT_EQ(rec.names, (std::vector<std::string>{"TestB", "TestA"}));
  EXPECT_FALSE(object.unlock(KEX::PropertyMessage)) << "unbalanced unlock";
  EXPECT_FALSE(object.lock(A)) << "only PropertyMessage is a lock";

  rec.names.clear();
  ASSERT_TRUE(a.setValue(9.0f));
  EXPECT_EQ(rec.names, (std::vector<std::string>{"TestA"}));
  object.removeObserver(&rec);
  ASSERT_TRUE(a.setValue(10.0f));
  EXPECT_EQ(rec.names.size(), 1u);
}

TEST(KexObject, HookChainRunsImmediatelyAndHonoursSuppression)
{
  KEXObject object;
  FloatOP a(0.0f), b(0.0f), c(0.0f);
  object.addProperty(A, &a);
  object.addProperty(B, &b);
  object.addProperty(C, &c);
  ForwardHook ab(B), bc(C);
  ASSERT_TRUE(a.attachHook(&ab));
  ASSERT_FALSE(a.attachHook(&ab)) << "attached twice";
  ASSERT_TRUE(b.attachHook(&bc));
  Recorder rec;
  object.addObserver(&rec);

  object.lock(KEX::PropertyMessage);
  ASSERT_TRUE(a.setValue(1.0f));
  EXPECT_EQ(ab.calls, 1) << "hooks run at once, also under the lock";
  EXPECT_EQ(bc.calls, 1);
  EXPECT_TRUE(rec.names.empty());
  object.unlock(KEX::PropertyMessage);
  EXPECT_EQ(rec.names, (std::vector<std::string>{"TestA", "TestB", "TestC"}));

  rec.names.clear();
  ab.setIgnoreNext(true);
  ASSERT_TRUE(a.setValue(2.0f));
  EXPECT_FALSE(ab.getIgnoreNext()) << "the suppressed event clears the flag";
  EXPECT_EQ(ab.calls, 1);
  EXPECT_EQ(bc.calls, 1);
  EXPECT_EQ(rec.names, (std::vector<std::string>{"TestA"}));
  ASSERT_TRUE(a.setValue(3.0f));
  EXPECT_EQ(ab.calls, 2);
  EXPECT_EQ(bc.calls, 2);

  // Flag bit 64 counts as a change for the hooks; other bits do not.
  a.setFlags(0x1, 0);
  EXPECT_EQ(ab.calls, 2);
  a.setFlags(KEXProperty::HOOK_FLAG, 0);
  EXPECT_EQ(ab.calls, 3);
  a.setFlags(0, KEXProperty::HOOK_FLAG);
  EXPECT_EQ(ab.calls, 4);
  ASSERT_TRUE(a.detachHook(&ab));
  ASSERT_TRUE(a.setValue(4.0f));
  EXPECT_EQ(ab.calls, 4);
}

TEST(KexObject, ProviderIsReadOnlyAndRecomputedOnEveryRead)
{
  KEXObject object;
  FloatOP source(1.5f), derived(0.0f);
  object.addProperty(A, &source);
  object.addProperty(B, &derived);
  SumProvider provider;
  provider.source = &source;
  derived.setExtension(&provider);

  float v = 0;
  ASSERT_TRUE(object.getValue(B, v));
  EXPECT_EQ(v, 3.0f);
  source.setValue(4.0f);
  ASSERT_TRUE(object.getValue(B, v));
  EXPECT_EQ(v, 8.0f);
  EXPECT_EQ(provider.reads, 2);
  uint64_t stamp = derived.getModificationTime();
  EXPECT_FALSE(derived.setValue(1.0f)) << "a provided property refuses writes";
  EXPECT_EQ(derived.getModificationTime(), stamp);
  provider.fail = true;
  EXPECT_FALSE(object.getValue(B, v)) << "a failing provider makes the read fail";
  derived.setExtension(nullptr);
  EXPECT_TRUE(derived.setValue(1.0f));
}

TEST(KexObject, StampsBumpOnlyOnEffectiveChange)
{
  KEXObject object;
  ColorListOP colors;
  object.addProperty(A, &colors);
  Recorder rec;
  object.addObserver(&rec);
  std::vector<KEXRGBA<float>> c = {{0.5f, 0.25f, 1.0f, 1.0f}, {0.0f, 0.0f, 0.0f, 0.0f}};
  ASSERT_TRUE(colors.initArray(2, c.data()));
  uint64_t s1 = colors.getModificationTime();
  EXPECT_GT(s1, 0u);

  // What was stored reads back as its byte conversion; writing that back changes nothing.
  std::vector<KEXRGBA<float>> back(2);
  ASSERT_TRUE(colors.getItems(0, 1, back.data()));
  EXPECT_EQ(back[0], KEXRGBA<float>(KEXRGBA<unsigned char>(c[0])));
  EXPECT_NE(back[0].r, 0.5f);
  rec.names.clear();
  ASSERT_TRUE(colors.setItems(0, 1, back.data()));
  ASSERT_TRUE(colors.setItems(0, 1, c.data())) << "different floats, equal bytes";
  ASSERT_TRUE(colors.setIndexRange(0, 1));
  EXPECT_EQ(colors.getModificationTime(), s1);
  EXPECT_TRUE(rec.names.empty());

  KEXRGBA<float> other(0.1f, 0.2f, 0.3f, 1.0f);
  ASSERT_TRUE(colors.setItems(1, 1, &other));
  uint64_t s2 = colors.getModificationTime();
  EXPECT_GT(s2, s1);
  EXPECT_EQ(rec.names.size(), 1u);
  ASSERT_TRUE(colors.setIndexRange(0, 2));
  EXPECT_GT(colors.getModificationTime(), s2);
  EXPECT_GE(KEXProperty::currentModificationTime(), colors.getModificationTime());

  FloatOP f(1.0f);
  uint64_t s = f.getModificationTime();
  f.setValue(1.0f);
  EXPECT_EQ(f.getModificationTime(), s);
  f.setValue(2.0f);
  EXPECT_GT(f.getModificationTime(), s);
}

TEST(KexObject, ArrayRangesItemsAndConversions)
{
  IntListOP flags;
  int first = 5, last = 5;
  ASSERT_TRUE(flags.getIndexRange(first, last));
  EXPECT_EQ(first, 0);
  EXPECT_EQ(last, -1);
  EXPECT_FALSE(flags.setIndexRange(1, 3)) << "ranges start at 0";
  ASSERT_TRUE(flags.setIndexRange(0, 3));
  int items[4] = {7, 7, 7, 7};
  ASSERT_TRUE(flags.getItems(0, 3, items));
  EXPECT_EQ(items[2], 0) << "growth value-initialises";
  int in[3] = {1, -1, 300};
  ASSERT_TRUE(flags.setItems(1, 3, in));
  EXPECT_FALSE(flags.setItems(2, 4, in)) << "outside the range";
  EXPECT_FALSE(flags.getItems(-1, 0, items));
  ASSERT_TRUE(flags.getItems(0, 3, items));
  EXPECT_EQ(items[1], 1);
  EXPECT_EQ(items[2], -1);
  EXPECT_EQ(items[3], int(char(300))) << "stored as one byte";
  EXPECT_TRUE(flags.getItems(0, -1, nullptr)) << "an empty read";

  ASSERT_TRUE(flags.insertItem(0, 9));
  EXPECT_EQ(flags.getCount(), 5);
  EXPECT_EQ(flags.findItem(9), 0);
  EXPECT_EQ(flags.findItem(-1), 3);
  EXPECT_EQ(flags.findItem(42), -1);
  ASSERT_TRUE(flags.removeItem(0));
  int v = 0;
  ASSERT_TRUE(flags.readItem(0, v));
  EXPECT_EQ(v, 0);
  ASSERT_TRUE(flags.reset());
  EXPECT_EQ(flags.getCount(), 0);
}

TEST(KexObject, NullPropertyRefusesEveryWrite)
{
  auto& null = KEXValueArrayPropertyIF<KEXVector3<float>>::null();
  int first = 1, last = 1;
  ASSERT_TRUE(null.getIndexRange(first, last));
  EXPECT_EQ(first, 0);
  EXPECT_EQ(last, -1);
  EXPECT_TRUE(null.getItems(0, -1, nullptr));
  EXPECT_FALSE(null.setIndexRange(0, -1)) << "also an empty write";
  EXPECT_FALSE(null.setItems(0, -1, nullptr));
  EXPECT_FALSE(null.initArray(0, nullptr));
  KEXVector3<float> p(1, 2, 3);
  EXPECT_FALSE(null.insertItem(0, p));
  EXPECT_EQ(&null, &KEXValueArrayPropertyIF<KEXVector3<float>>::null());
}

TEST(KexObject, RegistrationOrderDuplicatesAndTypedAccess)
{
  KEXObject object;
  FloatOP a(1.0f), b(2.0f), dup(0.0f);
  IntListOP list;
  ASSERT_EQ(object.addProperty(B, &b), KEX::NoError);
  ASSERT_EQ(object.addProperty(A, &a), KEX::NoError);
  ASSERT_EQ(object.addProperty(C, &list), KEX::NoError);
  EXPECT_EQ(object.addProperty(A, &dup), KEX::InvalidValue);
  EXPECT_EQ(object.addProperty(D, nullptr), KEX::InvalidValue);
  ASSERT_EQ(object.getPropertyCount(), 3);
  EXPECT_EQ(object.getPropertyName(0), B);
  EXPECT_EQ(object.getPropertyName(1), A);
  EXPECT_EQ(object.getPropertyName(2), C);
  EXPECT_EQ(object.getPropertyName(3), KEXenum());
  EXPECT_EQ(a.getOwner(), &object);
  EXPECT_EQ(a.getName(), A);

  float f = 0;
  EXPECT_TRUE(object.getValue(A, f));
  EXPECT_EQ(f, 1.0f);
  int i = 0;
  EXPECT_FALSE(object.getValue(A, i)) << "mistyped";
  EXPECT_FALSE(object.getValue(D, f)) << "missing";
  EXPECT_TRUE(object.initArray<int>(C, 3, nullptr));
  int fl = 0, la = 0;
  EXPECT_TRUE(object.getIndexRange<int>(C, fl, la));
  EXPECT_EQ(la, 2);
  int items[2] = {4, 5};
  EXPECT_TRUE(object.setArrayItems<int>(C, 1, 2, items));
  EXPECT_FALSE(object.setArrayItems<int>(C, 2, 3, items));
  EXPECT_FALSE(object.setArrayItems<float>(C, 0, 0, &f));

  FloatOP replacement(7.0f);
  ASSERT_EQ(object.replaceProperty(A, &replacement), KEX::NoError);
  EXPECT_TRUE(object.getValue(A, f));
  EXPECT_EQ(f, 7.0f);
  EXPECT_EQ(object.getPropertyName(1), A);

  {
    FloatOP temporary(0.0f);
    object.addProperty(D, &temporary);
    EXPECT_EQ(object.getPropertyCount(), 4);
  }
  EXPECT_EQ(object.getPropertyCount(), 3) << "a destroyed property unregisters itself";
  EXPECT_EQ(object.getProperty(D), nullptr);
}

TEST(KexObject, RegistrationFailsCleanlyWhenMemoryIsShort)
{
  for (long n = 1;; ++n) {
    KEXObject object;
    std::vector<FloatOP> props(20, FloatOP(0.0f));
    KEXenum names[20];
    std::vector<std::string> strings(20);
    kexTest::AllocationFault fault(n);
    int registered = 0;
    KEXenum code = KEX::NoError;
    for (int i = 0; i < 20 && code == KEX::NoError; ++i) {
      strings[i] = "P" + std::to_string(i);
      names[i] = KEXenum(strings[i].c_str());
      code = object.addProperty(names[i], &props[i]);
      if (code == KEX::NoError)
        ++registered;
    }
    EXPECT_EQ(object.getPropertyCount(), registered);
    if (!fault.fired()) {
      EXPECT_EQ(code, KEX::NoError);
      EXPECT_EQ(registered, 20);
      break;
    }
    EXPECT_EQ(code, KEX::OutOfMemory);
    ASSERT_LT(n, 50);
  }
}

TEST(KexObject, ReferenceCountsAndLinksReleaseTargets)
{
  Counted::destroyed = 0;
  auto* target = new Counted;
  EXPECT_EQ(target->getRefCount(), 1);
  {
    KEXObjectHardLinkOP hard;
    KEXObjectSoftLinkOP soft;
    KEXObjectHardLinkListOP list;
    ASSERT_TRUE(hard.setValue(KEXObjectLink(target)));
    EXPECT_EQ(target->getRefCount(), 2);
    ASSERT_TRUE(soft.setValue(KEXObjectLink(target)));
    EXPECT_EQ(target->getRefCount(), 2) << "a soft link holds no reference";
    KEXObjectLink items[2] = {KEXObjectLink(target), KEXObjectLink(target)};
    ASSERT_TRUE(list.initArray(2, items));
    EXPECT_EQ(target->getRefCount(), 6);
    KEXObjectLink read;
    ASSERT_TRUE(soft.getValue(read));
    EXPECT_EQ(read.get(), target);
    read = KEXObjectLink();
    EXPECT_EQ(target->getRefCount(), 6);
    items[0] = KEXObjectLink();
    items[1] = KEXObjectLink();
    EXPECT_EQ(target->getRefCount(), 4);
    ASSERT_TRUE(list.removeItem(0));
    EXPECT_EQ(target->getRefCount(), 3);
    target->release(); // the creator lets go; the links keep it alive
    EXPECT_EQ(Counted::destroyed, 0);
    ASSERT_TRUE(hard.setValue(KEXObjectLink()));
    EXPECT_EQ(Counted::destroyed, 0);
  }
  EXPECT_EQ(Counted::destroyed, 1) << "the last link released the target";
}

TEST(KexObject, SingleValueDefaultResetAndCheck)
{
  struct Positive : KEXSingleValueOP<KEXSingleValuePropertyIF<float>, float> {
    using KEXSingleValueOP::KEXSingleValueOP;
    unsigned int check(const float& v) const override { return v > 0 ? KEX_CHECK_ACCEPTED : 0; }
  } p(2.0f);
  EXPECT_FALSE(p.setValue(-1.0f));
  float v = 0;
  p.getValue(v);
  EXPECT_EQ(v, 2.0f);
  EXPECT_TRUE(p.setValue(3.0f));
  EXPECT_TRUE(p.reset());
  p.getValue(v);
  EXPECT_EQ(v, 2.0f);

  StringOP s("Default");
  ASSERT_TRUE(s.isInitialized());
  const char* text = nullptr;
  ASSERT_TRUE(s.setValue("Other"));
  ASSERT_TRUE(s.getValue(text));
  EXPECT_STREQ(text, "Other");
  {
    kexTest::AllocationFault fault(1, true);
    EXPECT_FALSE(s.setValue("Third")) << "string copy fails";
    ASSERT_TRUE(s.getValue(text));
    EXPECT_STREQ(text, "Other");
    EXPECT_TRUE(s.reset()) << "falls back to the property's own reset";
    ASSERT_TRUE(s.getValue(text));
    EXPECT_EQ(text, nullptr);
  }
  EXPECT_TRUE(s.reset());
  ASSERT_TRUE(s.getValue(text));
  EXPECT_STREQ(text, "Default");
}

TEST(KexObject, MetaDataAndActions)
{
  FloatOP p(0.0f);
  EXPECT_FALSE(p.getMeta(KEX::Quantity).isValid());
  ASSERT_TRUE(p.setMeta(KEX::Quantity, KEX::Length));
  EXPECT_EQ(p.getMeta(KEX::Quantity), KEX::Length);

  struct Act : KEXActionAttr {
    int runs = 0;
    bool action(void* p) override
    {
      ++runs;
      return p != nullptr;
    }
    KEXenum checkAction(void* p) override { return p ? KEX::NoError : KEX::InvalidValue; }
  };
  KEXObject object;
  auto* act = new Act;
  ASSERT_NE(act, nullptr);
  ASSERT_EQ(object.addAction(A, act, true), KEX::NoError);
  EXPECT_EQ(object.getAction(A), act);
  EXPECT_EQ(act->getOwner(), &object);
  EXPECT_EQ(object.getActionName(0), A);
  int x = 0;
  EXPECT_TRUE(act->execute(&x));
  EXPECT_FALSE(act->execute(nullptr));
  EXPECT_EQ(act->runs, 2);
  EXPECT_EQ(act->checkExecute(nullptr), KEX::InvalidValue);
  EXPECT_EQ(act->clone(B), nullptr);
  EXPECT_TRUE(act->getMetaClass().isOfType(KEXAction::metaClass()));
}

TEST(KexObject, FilterLinksRolesAndObjectIDs)
{
  KEXFilter filter;
  EXPECT_EQ(filter.getPropertyCount(), 4);
  EXPECT_EQ(filter.getPropertyName(0), KEX::FirstSource);
  EXPECT_EQ(filter.getPropertyName(3), KEX::SecondDestination);
  KEXGeometry geometry;
  ASSERT_TRUE(filter.setValue(KEX::FirstSource, KEXObjectLink(&geometry)));
  EXPECT_EQ(filter.getLinkTarget(KEX::FirstSource), &geometry);
  EXPECT_EQ(filter.getLinkTarget(KEX::SecondSource), nullptr);
  EXPECT_EQ(geometry.getRefCount(), 2);
  {
    KEXFilter copy(filter);
    EXPECT_EQ(copy.getLinkTarget(KEX::FirstSource), &geometry);
    EXPECT_EQ(geometry.getRefCount(), 3);
  }
  EXPECT_EQ(geometry.getRefCount(), 2);
  ASSERT_TRUE(filter.setValue(KEX::FirstSource, KEXObjectLink()));
  EXPECT_EQ(geometry.getRefCount(), 1);

  EXPECT_STREQ(geometry.getObjectID(0).getString(), "KEXGeometry");
  EXPECT_STREQ(geometry.getObjectID(1).getString(), "KEXObject");
  EXPECT_EQ(geometry.getObjectID(2), KEX::Unknown);
  EXPECT_STREQ(filter.getObjectID(0).getString(), "KEXFilter");
  EXPECT_TRUE(KEXFilter::metaClass().isOfType(KEXObject::metaClass()));
  EXPECT_EQ(KEXMetaClass::find("KEXGeometryMaterial"), &KEXGeometryMaterial::metaClass());
  EXPECT_STREQ(KEXValueArrayPropertyIF<KEXRGBA<float>>::metaClass().getClassName(),
               "KEXValueArrayPropertyIF<KEXRGBA<float>>");
  EXPECT_EQ(KEXValueArrayPropertyIF<int>::metaClass().getParent(), &KEXProperty::metaClass());

  constexpr KEXenum Role{"TestRole"}, SubRole{"TestSubRole"};
  EXPECT_FALSE(KEXObject::RoleManager::setRoleInterface(Role, {}));
  ASSERT_TRUE(KEXObject::RoleManager::addRole(Role, KEXenum()));
  EXPECT_FALSE(KEXObject::RoleManager::addRole(Role, KEXenum()));
  ASSERT_TRUE(KEXObject::RoleManager::addRole(SubRole, Role));
  EXPECT_EQ(KEXObject::RoleManager::getParentRole(SubRole), Role);
  EXPECT_TRUE(KEXObject::RoleManager::setRoleInterface(Role, {}));
  EXPECT_TRUE(KEXObject::RoleManager::hasRoleInterface(Role));
  ASSERT_TRUE(KEXObject::RoleManager::addDefaultRole(&KEXGeometry::metaClass(), SubRole));
  EXPECT_EQ(KEXObject::RoleManager::getDefaultRole(&KEXGeometry::metaClass()), SubRole);
  EXPECT_FALSE(KEXObject::RoleManager::getDefaultRole(&KEXFilter::metaClass()).isValid());
}

} // namespace
