// Follows the server's event stream, opening it again whenever it breaks: first after 250 ms, then
// twice as long each time up to 5 s, each wait cut by a random part up to half so that pages do not
// come back together. A stream that stayed up a while starts the waits over. EventSource's own
// reconnection is not used: it gives up for good on a refused request and waits the same whatever
// happened, so a page whose stream the server keeps ending would retry at the same pace forever.

const FIRST_WAIT_MS = 250;
const LONGEST_WAIT_MS = 5_000;
const HEALTHY_MS = 10_000;

export interface EventHandlers {
  /** Each stream's first event: the setting and the stored history. */
  hello(data: string): void;
  frame(data: string): void;
  /** The stream broke; it is opened again after a wait. */
  broken(): void;
}

export function followEvents(url: string, handlers: EventHandlers): void {
  let failures = 0;
  const open = (): void => {
    const events = new EventSource(url);
    let helloAt: number | null = null;
    events.addEventListener("hello", (event: MessageEvent<string>) => {
      helloAt = performance.now();
      handlers.hello(event.data);
    });
    events.addEventListener("message", (event: MessageEvent<string>) => handlers.frame(event.data));
    events.addEventListener("error", () => {
      events.close();
      if (helloAt !== null && performance.now() - helloAt >= HEALTHY_MS) failures = 0;
      const longest = Math.min(LONGEST_WAIT_MS, FIRST_WAIT_MS * 2 ** failures);
      failures += 1;
      handlers.broken();
      setTimeout(open, longest * (0.5 + Math.random() / 2));
    });
  };
  open();
}
