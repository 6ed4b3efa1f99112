#include "os/OsUserHandle.h"

#include <algorithm>
#include <new>

OsUserHandle::OsUserHandle(EOsUserHandleType handleType) : type(handleType) {
  pthread_mutex_init(&addEventsMutex, nullptr);
}

OsUserHandle::~OsUserHandle() {
  pthread_mutex_destroy(&addEventsMutex);
}

void OsUserHandle::MarkWaiter(_OsUserAddEvent* w) {
  pthread_mutex_lock(&w->lock);
  if (w->signalledEvent == nullptr) {
    w->signalledEvent = this;
    pthread_cond_broadcast(&w->cond);
  }
  pthread_mutex_unlock(&w->lock);
}

void OsUserHandle::SignalAdditionalEventsCritical() {
  pthread_mutex_lock(&addEventsMutex);
  for (_OsUserAddEvent* w : addEvents) MarkWaiter(w);
  pthread_mutex_unlock(&addEventsMutex);
}

bool OsUserHandle::AddAdditionalEvent(_OsUserAddEvent* w) {
  if (!SupportsAdditionalEvents()) return false;
  pthread_mutex_lock(&addEventsMutex);
  bool added = true;
  try {
    addEvents.push_back(w);
  } catch (const std::bad_alloc&) {
    added = false;
  }
  // A signal given before the registration must not be missed: the signaller sets its state
  // before it takes addEventsMutex, so either it sees w in the list or we see the state here.
  if (added && IsEventSignalled()) MarkWaiter(w);
  pthread_mutex_unlock(&addEventsMutex);
  return added;
}

void OsUserHandle::RemoveAdditionalEvent(_OsUserAddEvent* w) {
  pthread_mutex_lock(&addEventsMutex);
  addEvents.erase(std::remove(addEvents.begin(), addEvents.end(), w), addEvents.end());
  pthread_mutex_unlock(&addEventsMutex);
}

OsUserHandle* OsUserHandleFromPointer(void* h) {
  if (h == nullptr || h == reinterpret_cast<void*>(static_cast<intptr_t>(-1))) return nullptr;
  return static_cast<OsUserHandle*>(h);
}
