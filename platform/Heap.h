// How the process's heap is set up for the program's work: large blocks returned
// to the system when freed.
#pragma once

// Large blocks (a large body's stream) come from mappings of their own and go back
// to the system as soon as they are freed, however large an earlier freed block was.
void ReturnLargeBlocks();
