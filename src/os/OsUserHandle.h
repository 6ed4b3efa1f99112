// The object behind every handle of the OS layer, and the registration of multi-object
// waiters with it. Internal to the OS layer; other code only sees untyped handles.
#pragma once

#include <pthread.h>

#include <vector>

#include "os/OsTypes.h"

enum EOsUserHandleType : uint32_t {
  OS_USER_HANDLE_TYPE_UNKNOWN = 0,
  OS_USER_HANDLE_TYPE_FILE = 1,
  OS_USER_HANDLE_TYPE_THREAD = 2,
  OS_USER_HANDLE_TYPE_EVENT = 3,
  OS_USER_HANDLE_TYPE_MUTEX = 4,  // reserved, never created
  OS_USER_HANDLE_TYPE_SEMA = 5,   // reserved, never created
};

class OsUserHandle;

// The shared waiter of one multi-object wait. Lives on the waiting thread's stack and must be
// unregistered from every handle before it goes out of scope.
struct _OsUserAddEvent {
  pthread_cond_t cond;
  OsUserHandle* signalledEvent;  // first handle that signalled; guarded by lock
  pthread_mutex_t lock;
  DWORD countEvents;
  const void* const* phEvents;
};
typedef _OsUserAddEvent OsUserAddEvent;

// Lock order on every path: the owner's own lock (an event's m_lock) -> addEventsMutex -> a
// waiter's lock. Registration is thread-safe; the handle's lifetime is its owner's business.
class OsUserHandle {
 public:
  explicit OsUserHandle(EOsUserHandleType handleType);
  virtual ~OsUserHandle();
  OsUserHandle(const OsUserHandle&) = delete;
  OsUserHandle& operator=(const OsUserHandle&) = delete;

  virtual bool SupportsAdditionalEvents() const { return false; }
  virtual void Lock() {}
  virtual void Unlock() {}
  virtual bool IsEventSignalled() const { return false; }

  // Marks every registered waiter that no other handle has marked yet and wakes it.
  void SignalAdditionalEventsCritical();
  // Registers w; marks it at once if this handle is signalled already. False if the handle
  // does not support registration or the list cannot grow (w is then not registered).
  bool AddAdditionalEvent(_OsUserAddEvent* w);
  void RemoveAdditionalEvent(_OsUserAddEvent* w);

  const EOsUserHandleType type;

 private:
  void MarkWaiter(_OsUserAddEvent* w);

  std::vector<_OsUserAddEvent*> addEvents;
  pthread_mutex_t addEventsMutex;
};

// The handle object behind h, or null (errno untouched) for null and INVALID_HANDLE_VALUE.
OsUserHandle* OsUserHandleFromPointer(void* h);
