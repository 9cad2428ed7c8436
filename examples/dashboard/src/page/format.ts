// How the page writes its numbers (binary units for bytes, the two largest units for durations),
// a figure it does not have (a dash, and a tooltip that says why), and untrusted text where the
// page cannot isolate it with an element.
import type { Origin, ProcessEntry } from "./process_store.js";

const BYTE_UNITS = ["B", "KiB", "MiB", "GiB", "TiB"];

/** What the page shows for a figure it does not have; `why` goes in its tooltip. */
export const MISSING = "–";

const REFUSED = "the system did not let the sidecar read this";

/** Why a figure of entry's that the sidecar sent as null is missing. */
export function refusedWhy(origin: Origin, entry: ProcessEntry): string {
  // In version 2 only the CPU can be null: a reading that was not a finite number.
  if (origin.protocolVersion < 3) return "the sidecar could not measure this process's CPU";
  const other = entry.uid !== null && origin.sidecarUid !== null && entry.uid !== origin.sidecarUid;
  return other ? `${REFUSED}: another user's process` : REFUSED;
}

/** Why a figure only protocol version 3 carries (user, threads, footprint, arguments) is missing
 *  from every process; undefined where the protocol carries it. */
export function unreportedWhy(origin: Origin): string | undefined {
  if (origin.protocolVersion < 3) return "not reported: the sidecar's protocol version 2 does not carry it";
  return undefined;
}

export function formatBytes(bytes: number): string {
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < BYTE_UNITS.length - 1) {
    value /= 1024;
    unit += 1;
  }
  const digits = unit === 0 || value >= 100 ? 0 : 1;
  return `${value.toFixed(digits)} ${BYTE_UNITS[unit]}`;
}

/** A bare 0 for no traffic, so the rows that do read or write stand out. */
export function formatRate(bytesPerSecond: number): string {
  return bytesPerSecond > 0 ? `${formatBytes(bytesPerSecond)}/s` : "0";
}

/** Text a process chose (its name, its command line) for a tooltip or a canvas, where no `<bdi>`
 *  can hold it: between FIRST STRONG ISOLATE and POP DIRECTIONAL ISOLATE, so a bidirectional
 *  control inside it cannot reorder what comes after. Elements use `<bdi>` instead. */
export function isolate(text: string): string {
  return `\u2068${text}\u2069`;
}

export function formatDuration(ms: number): string {
  const seconds = Math.floor(ms / 1000);
  const two = (n: number): string => String(n).padStart(2, "0");
  if (seconds < 60) return `${seconds}s`;
  if (seconds < 3600) return `${Math.floor(seconds / 60)}m ${two(seconds % 60)}s`;
  if (seconds < 86400) return `${Math.floor(seconds / 3600)}h ${two(Math.floor(seconds / 60) % 60)}m`;
  return `${Math.floor(seconds / 86400)}d ${two(Math.floor(seconds / 3600) % 24)}h`;
}
