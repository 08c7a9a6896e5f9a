// The virus-like-activity alarm and the drop episode as the status block, the event log and the
// system log show them. The rule (daemon_rule.h) decides when the alarm rises and falls; the
// throttle threads raise it here, the de-throttle thread lowers it.
#pragma once

// Sets the status block's gauge for an alarm the rule just raised: true when it was down (the
// caller counts it, publishes, then reports).
bool alarm_raise();
// Writes the "[ALERT_VLA_DETECTED]   " event for an alarm just raised.
void alarm_report_raised();
// Lowers the alarm once the rule says the queue has drained to the low water mark: the gauge,
// the "[ALERT_VLA_STOPPED]    " event and the episode's summary.
void alarm_lower();
// Notes a packet dropped for want of room; the first drop of an episode (the rule says which)
// writes the "[DROPPING_CONNECTIONS] " event.
void alarm_note_drop(bool first_of_episode);
