// The run's secret for process data. Every local user can connect to 127.0.0.1, but only the user
// who started the server reads what it prints: the page's address with this token after its `#`,
// which a browser never sends. The page sends it back with each request for process data.
import { randomBytes, timingSafeEqual } from "node:crypto";

export class AccessToken {
  readonly text = randomBytes(32).toString("base64url");

  /** Whether `given` is the token, in a time that does not tell how much of it matched. */
  admits(given: string | null): boolean {
    const bytes = Buffer.from(given ?? "");
    return bytes.length === this.bytes.length && timingSafeEqual(bytes, this.bytes);
  }

  private readonly bytes = Buffer.from(this.text);
}
