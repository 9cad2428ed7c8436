// The colours the canvases draw with, read from the style sheet's custom properties, so charts
// and sparklines follow prefers-color-scheme as the rest of the page does. Main thread only.
import type uPlot from "uplot";

const scheme = matchMedia("(prefers-color-scheme: dark)");
// Read once a scheme: asking the style sheet between DOM writes would force a style recalculation
// for every sparkline and chart band drawn.
const colours = new Map<string, string>();
scheme.addEventListener("change", () => colours.clear());

export function isDark(): boolean {
  return scheme.matches;
}

/** A colour the style sheet defines on :root, e.g. `--axis`. */
export function themeColour(name: string): string {
  let colour = colours.get(name);
  if (colour === undefined) {
    colour = getComputedStyle(document.documentElement).getPropertyValue(name).trim();
    colours.set(name, colour);
  }
  return colour;
}

/** Calls `redraw` whenever the system switches between light and dark. */
export function onSchemeChange(redraw: () => void): void {
  scheme.addEventListener("change", redraw);
}

/** A chart band of a hue: a strong line over a softer fill, lighter lines on a dark page. */
export function bandColour(hue: number, part: "stroke" | "fill"): string {
  if (isDark()) return part === "stroke" ? `hsl(${hue} 70% 62%)` : `hsl(${hue} 45% 32%)`;
  return part === "stroke" ? `hsl(${hue} 65% 42%)` : `hsl(${hue} 70% 78%)`;
}

/** A chart axis whose labels and grid take the scheme's colours at every draw. */
export function themedAxis(axis: uPlot.Axis = {}): uPlot.Axis {
  const colour = (name: string) => (): string => themeColour(name);
  return {
    ...axis,
    stroke: colour("--axis"),
    grid: { stroke: colour("--grid"), width: 1 },
    ticks: { stroke: colour("--grid"), width: 1 },
  };
}
