// Cuts the sidecar's output into lines without ever building a line longer than a limit: the bytes
// of an over-limit line are dropped as they arrive, and only its opening bytes are kept, so the
// answer it belonged to can still be named.

/** How many opening bytes of an over-limit line are kept: enough for a snapshot's or a history
 *  chunk's fields up to its requestId, which come before any process record. */
export const KEPT_HEAD_BYTES = 1024;

export type Line = { kind: "line"; text: string } | { kind: "overLimit"; bytes: number; head: string };

export class LineSplitter {
  /** maxBytes: the longest line, without its line feed, that is built as a string. */
  constructor(private readonly maxBytes: number) {}

  /** The lines that chunk completes, in order. */
  push(chunk: Uint8Array): Line[] {
    const lines: Line[] = [];
    let start = 0;
    for (let end = chunk.indexOf(10); end !== -1; end = chunk.indexOf(10, start)) {
      this.take(chunk.subarray(start, end));
      lines.push(this.finish());
      start = end + 1;
    }
    if (start < chunk.length) this.take(chunk.subarray(start));
    return lines;
  }

  private parts: Uint8Array[] = [];
  private bytes = 0;
  private head: Buffer | null = null;

  private take(part: Uint8Array): void {
    this.bytes += part.length;
    if (this.head) return;
    if (this.bytes <= this.maxBytes) {
      this.parts.push(part);
      return;
    }
    this.head = Buffer.concat([...this.parts, part], Math.min(KEPT_HEAD_BYTES, this.bytes));
    this.parts = [];
  }

  private finish(): Line {
    const line: Line = this.head
      ? { kind: "overLimit", bytes: this.bytes, head: this.head.toString("utf8") }
      : { kind: "line", text: Buffer.concat(this.parts).toString("utf8") };
    [this.parts, this.bytes, this.head] = [[], 0, null];
    return line;
  }
}
