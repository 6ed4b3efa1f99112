#include "os/OsThread.h"

#include <errno.h>
#include <limits.h>
#include <sched.h>

#include <new>

namespace {
constexpr SIZE_T kDefaultStackSize = 0x40000;
constexpr SIZE_T kMinStackSize = 0x800;

SIZE_T PlatformMinStackSize() {
#ifdef PTHREAD_STACK_MIN
  // Linux needs far more than 2 KiB; asking for less makes thread creation fail.
  return static_cast<SIZE_T>(PTHREAD_STACK_MIN) > kMinStackSize
             ? static_cast<SIZE_T>(PTHREAD_STACK_MIN)
             : kMinStackSize;
#else
  return kMinStackSize;
#endif
}
}  // namespace

DWORD OsUserRaiseThreadPriority() {
#ifdef VX_HAVE_SCHED_RR
  sched_param param{};
  param.sched_priority = sched_get_priority_min(SCHED_RR);
  if (param.sched_priority < 0) return static_cast<DWORD>(errno);
  return static_cast<DWORD>(pthread_setschedparam(pthread_self(), SCHED_RR, &param));
#else
  return ENOTSUP;
#endif
}

SIZE_T OsUserThreadStackSize(SIZE_T requested) {
  if (requested == 0) return kDefaultStackSize;
  SIZE_T minimum = PlatformMinStackSize();
  return requested <= minimum ? minimum : requested;
}

COsThread::COsThread() : OsUserHandle(OS_USER_HANDLE_TYPE_THREAD) {
  pthread_mutex_init(&m_lock, nullptr);
}

COsThread::~COsThread() {
  delete m_hEvent;
  pthread_mutex_destroy(&m_lock);
}

DWORD COsThread::Create(SIZE_T stackSize, LPTHREAD_START_ROUTINE routine, PVOID user,
                        bool bSuspended, OS_USER_THREAD_ID* threadId) {
  m_pFunc = routine;
  m_pUser = user;
  m_bThreadExit = false;
  if (bSuspended) {
    m_hEvent = new (std::nothrow) _OsEventHandle(false);
    if (m_hEvent == nullptr) {
      if (threadId) *threadId = OS_USER_THREAD_ID{};
      return ENOMEM;
    }
  }
  ++m_refCnt;

  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0) {
    rc = pthread_attr_setstacksize(&attr, OsUserThreadStackSize(stackSize));
    if (rc == 0) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    if (rc == 0) {
      m_bJoin = true;
      rc = pthread_create(&m_hThread, &attr, &COsThread::ThreadBody, this);
      if (rc != 0) m_bJoin = false;
    }
    pthread_attr_destroy(&attr);
  }
  if (rc != 0) {
    --m_refCnt;
    if (threadId) *threadId = OS_USER_THREAD_ID{};
    return static_cast<DWORD>(rc);
  }
  m_bHaveThread = true;
  if (threadId) *threadId = m_hThread;
  return 0;
}

void* COsThread::ThreadBody(void* arg) {
  COsThread* self = static_cast<COsThread*>(arg);
  if (self->m_hEvent != nullptr && self->m_hEvent->_event.IsValid())
    self->m_hEvent->_event.Wait(INFINITE);
  self->m_pFunc(self->m_pUser);
  self->m_bThreadExit = true;
  self->SignalAdditionalEventsCritical();
  self->m_event.Set();
  self->Release();
  return nullptr;
}

void COsThread::Resume() {
  if (m_hEvent != nullptr) m_hEvent->_event.Set();
}

DWORD COsThread::WaitForThread(DWORD milliseconds) {
  if (!m_bHaveThread) return WAIT_FAILED;
  DWORD rc = m_event.Wait(milliseconds);
  if (rc != WAIT_OBJECT_0) return rc == WAIT_TIMEOUT ? WAIT_TIMEOUT : WAIT_FAILED;
  pthread_mutex_lock(&m_lock);
  if (m_bJoin) {
    pthread_join(m_hThread, nullptr);
    m_bJoin = false;
  }
  pthread_mutex_unlock(&m_lock);
  return WAIT_OBJECT_0;
}

void COsThread::Close() {
  if (m_bHaveThread) {
    pthread_mutex_lock(&m_lock);
    if (m_bJoin) {
      pthread_detach(m_hThread);
      m_bJoin = false;
    }
    pthread_mutex_unlock(&m_lock);
    m_bHaveThread = false;
  }
  Release();
}

void COsThread::Release() {
  if (--m_refCnt == 0) delete this;
}
