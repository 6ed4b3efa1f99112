// For tests only: lets each test start from a store freshly loaded from $VX_BASE_DIR.
#pragma once

// Drops the process-wide store; the next OsReg*/VxReg* call creates a new one. Calls in
// progress finish on the old store.
void VxRegTestRecreateStore();
