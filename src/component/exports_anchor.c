/* The shared library needs at least one source of its own; the exported
 * functions themselves live in the core archive, pulled in whole. */
typedef int corvane_exports_anchor_unused;
