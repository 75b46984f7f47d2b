#include "composer/frame_pacer.h"

CFramePacer::Clock::duration CFramePacer::WaitBefore(Clock::time_point now, Clock::duration interval) {
  if (interval < Clock::duration::zero()) interval = Clock::duration::zero();
  Clock::time_point due = (m_due ? *m_due : now) + interval;
  // More than one interval behind: a new chain from this frame rather than a burst.
  if (now - due > interval) due = now;
  m_due = due;
  return due > now ? due - now : Clock::duration::zero();
}
