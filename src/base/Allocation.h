#pragma once

// Blocks of a megabyte and more get pages of their own from the system
// (glibc otherwise raises that limit as it goes). A child's line of
// megabytes then grows in place as it is read, instead of being copied at
// each growth in one go, which held the window for tens of milliseconds.
// Called once, first thing in main().
void keepLargeAllocationsMapped();
