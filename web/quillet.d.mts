// TypeScript looks for the declarations of a .mjs module in a .d.mts file beside it.
export * from './quillet.js';
