// Lint rules for the TypeScript of the Node client, the dashboard and their tests: ESLint's and
// typescript-eslint's recommended sets, without type information, so a run takes seconds.
import js from "@eslint/js";
import tseslint from "typescript-eslint";

export default tseslint.config(
  { ignores: ["**/build/**", "**/dist/**", "**/node_modules/**", "examples/dashboard/static/**"] },
  { files: ["**/*.{ts,mts,cts}"], extends: [js.configs.recommended, ...tseslint.configs.recommended] },
);
