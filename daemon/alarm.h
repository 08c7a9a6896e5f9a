// The virus-like-activity alarm and the drop episode: raised by the throttle threads, lowered
// by the de-throttle thread, owned here.
#pragma once

#include "config.h"

// Raises the alarm when the delay queue has reached the high water mark and the alarm was
// down: true exactly when this call raised it (the caller counts it, publishes, then reports).
bool alarm_raise_if_high(const ulvo_config *config);
// Writes the "[ALERT_VLA_DETECTED]   " event for an alarm just raised.
void alarm_report_raised();
// Lowers a raised alarm once the delay queue has drained to the low water mark: writes the
// "[ALERT_VLA_STOPPED]    " event and ends the drop episode.
void alarm_lower_if_low(const ulvo_config *config);
// Notes a packet dropped for want of room: the first drop of an episode writes the
// "[DROPPING_CONNECTIONS] " event.
void alarm_note_drop();
