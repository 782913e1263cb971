#pragma once

// What kind of call a conversation serves, 1..9 (1 "INT" ... 9 "OUT" in the call records);
// 4 and 8 are group calls: one master heard by every other answered leg.
typedef int ConversationType;
