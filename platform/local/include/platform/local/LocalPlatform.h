#pragma once

// The embedded local platform: an implementation of every declaration in
// platform/ on one machine, so that the library runs standalone.
//
// - A store is a directory, or a prefix of a bucket in object storage
//   ("s3://BUCKET/PREFIX", its catalog then in PostgreSQL and its logs on
//   the host that wrote them), that holds everything about its backups and
//   nothing outside it: store.ini (its format, Trellan id and, for a
//   catalog in PostgreSQL, its connection string; written once),
//   catalog.db (the catalog of jobs and archive files, unless it is in
//   PostgreSQL, shared by agents on several hosts), files/N.arch (the data
//   of archive file N, nothing else), files/N.meta (that file's own
//   description: identity, job, stream and, once closed, size and SHA-256),
//   and jobs/ (each job's liveness lock, for a SQLite catalog, and, once
//   complete, its completion marker). A PostgreSQL catalog's writers hold
//   an advisory lock per job on the server instead. The catalog names
//   files relative to the store, so a store can be moved or copied; the
//   catalog can be rebuilt from files/ and jobs/.
// - Archive files are created exclusively and never replaced. A file enters
//   the catalog as "writing" before its first byte, is "closed" only after
//   its data and its description are durable, and "invalidated" when the
//   archive manager is told so. Restore opens closed files of jobs that did
//   not fail.
// - Jobs are the unit: a job is "running" from its first archive file (or
//   beginJob) and holds a lock while its process lives; it becomes
//   "complete" by completeJob, or "failed" by failJob or by a cleanup that
//   finds its writer gone. Cleanup removes the files of jobs that did not
//   complete and whose writer is gone, closed files included.
// - Backup streams are numbered in the order their archive files are created
//   within the process and job, which is the order BackupPipelineSetup sets
//   them up (1, 2, ...). The agent writes each stream's data with writeStream.
// - Restore streams talk to an in-process media side: one worker thread per
//   open archive file that reads the file from the sought offset. readBuffer
//   delivers its data as kDataMessage messages, and the pipeline messages
//   132, 133 and 148 after FSR_MSG_CLOSE_ARCHIVE.
// - Log lines go to stderr, a file, or a file of the store's logs/
//   directory, optionally copied to stderr, stamped with time, process,
//   thread, level and job id. Settings come from an INI file.
//
// Threads: openStore and closeStore must not run concurrently with other
// platform calls; everything else may be called from any thread.
//
// The declarations live in one header per concern, which code includes by
// what it uses; this one includes them all:
//   Config.h        Config, Access, StoreError
//   StoreSession.h  openStore, closeStore, where the store is, what it
//                   supports, the configuration and current job
//   Jobs.h          beginJob, completeJob, failJob, listJobs, markJobsDamaged,
//                   holdJobForReading
//   ArchiveFiles.h  the catalog's archive file records, writeStream, the
//                   archive data a restore reads
//   Maintenance.h   cleanup, check, deleteJobs
//   Interruption.h  interrupt, interrupted
//   StepHooks.h     crashPoint and the step observers (the tests' hooks)
// What a store keeps for the agent has headers of its own, not included
// here: JobManifest.h and StoreSettings.h.

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/Interruption.h"
#include "platform/local/Jobs.h"
#include "platform/local/Maintenance.h"
#include "platform/local/StepHooks.h"
#include "platform/local/StoreSession.h"
