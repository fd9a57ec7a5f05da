#pragma once
// The framework's error channel. Object-level failures are reported here; callers rely only on the
// report. A host installs a handler; tests capture the reports (kex/Testing.h).
#include "kex/Enum.h"

class KEXObject;

class KEXError {
public:
  class Message {
  public:
    explicit Message(KEXenum code) : m_code(code) {}
    Message(const KEXObject* object, KEXenum code) : m_object(object), m_code(code) {}
    KEXenum getCode() const { return m_code; }
    const KEXObject* getObject() const { return m_object; }

  private:
    const KEXObject* m_object = nullptr;
    KEXenum m_code;
  };

  using Handler = void (*)(const Message&, void* context);

  /// Reports an error to the installed handler (and to active test captures). Thread-safe.
  static void emitError(const Message& message);
  /// Installs a handler; returns the previous one. Null restores the default (which ignores).
  static Handler setHandler(Handler handler, void* context, void** previousContext = nullptr);
};
