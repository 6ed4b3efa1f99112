#include "os/OsUserEvent.h"

#include <errno.h>

#include "os/OsUserCond.h"

COsUserEvent::COsUserEvent(bool bAutoReset) : m_bAutoReset(bAutoReset) {
  pthread_mutex_init(&m_lock, nullptr);
  m_bValid = InitEventCondition(&m_cond) == 0;
}

COsUserEvent::~COsUserEvent() {
  if (m_bValid) pthread_cond_destroy(&m_cond);
  pthread_mutex_destroy(&m_lock);
}

void COsUserEvent::Set() {
  if (!m_bValid) return;
  pthread_mutex_lock(&m_lock);
  m_bSignalled = true;
  SignalAdditionalEventsCritical();
  pthread_cond_broadcast(&m_cond);
  pthread_mutex_unlock(&m_lock);
}

void COsUserEvent::Reset() {
  if (!m_bValid) return;
  pthread_mutex_lock(&m_lock);
  m_bSignalled = false;
  pthread_mutex_unlock(&m_lock);
}

DWORD COsUserEvent::Wait(DWORD milliseconds) {
  if (!m_bValid) return WAIT_FAILED;
  timespec deadline;
  const timespec* pDeadline = nullptr;
  if (milliseconds != INFINITE) {
    if (!OsUserGetAbsoluteTime(milliseconds, &deadline)) return WAIT_FAILED;
    pDeadline = &deadline;
  }
  pthread_mutex_lock(&m_lock);
  int rc = 0;
  while (!m_bSignalled && rc == 0) rc = OsUserCondWait(&m_cond, &m_lock, pDeadline);
  DWORD result;
  if (m_bSignalled) {
    if (m_bAutoReset) m_bSignalled = false;
    result = WAIT_OBJECT_0;
  } else {
    result = rc == ETIMEDOUT ? WAIT_TIMEOUT : WAIT_FAILED;
  }
  pthread_mutex_unlock(&m_lock);
  return result;
}
