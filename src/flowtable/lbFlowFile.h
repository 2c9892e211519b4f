// The connections file "flows_new.txt": idle servers, then one line per connection,
// rewritten whole (temporary file renamed over the old one) when connections change.
//
// A rewrite has two halves. The snapshot copies what the lines need (addresses, ports,
// server names) out of the server list and the flow table; it is memory work and runs
// with g_lbRBtreeMtx held. The write formats the copy and replaces the file; with a
// writer started it runs on the writer's thread, so the table lock and the packet
// thread never wait for the disk, whatever the table's size.
//
// Private lock: the file lock serializes the replacements of the file, so that an older
// snapshot never replaces a newer one. It nests inside g_lbRBtreeMtx (a synchronous
// write takes it with the table lock held); the writer thread never takes the table
// lock.
#pragma once

// How often creations and removals rewrite the connections file: at every one (0, the
// default), or at most once per ms milliseconds while connections change, counted from
// the end of the previous rewrite; the rewrite then owed is made by the next
// lbFlowTable_flushFile that finds the interval over.
void lbFlowTable_setWriteInterval(int ms);

// Marks the file as owing a rewrite and makes it when due (lbFlowTable_flushFile(0)).
// Caller holds g_lbRBtreeMtx.
void lbFlowTable_noteChange(void);

// Rewrites the connections file when a change is not written yet and the interval is
// over (or force is non-zero). With a writer started only the snapshot is taken here and
// the writer makes the write; while it is still busy with the previous one the change
// stays owed. Caller holds g_lbRBtreeMtx.
void lbFlowTable_flushFile(int force);

// Rewrites the connections file now, in the calling thread: idle servers, then one line
// per connection. A reader sees either the old or the new content. When that fails the
// old file stays, no temporary is left behind, and one line "Cannot write flows_new.txt:
// <reason>" is printed. Caller holds g_lbRBtreeMtx.
void lbFlowTable_writeFile(void);

// Starts the writer thread (no-op when it runs). Returns 0, or -1 when no thread can be
// made: rewrites then stay in the caller's thread.
int lbFlowTable_startWriter(void);
// Waits for the write in progress, then ends the writer thread; a change still owed is
// written by the next flush in the caller's thread. Never called with g_lbRBtreeMtx
// held by a thread the writer waits for (the writer takes no table lock, so any caller
// is safe).
void lbFlowTable_stopWriter(void);

// Per-entry action of the WRITEFILE walk: writes the entry's line to the connections
// file being rewritten, and nothing outside a rewrite.
void write_db_flowEntry(const void *key);
