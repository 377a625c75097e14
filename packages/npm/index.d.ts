/** What relauncher is asked to do; see the package's README. */
export interface HandOverOptions {
  /** The installer to run once the application has exited. Required unless `replace` is given. */
  program?: string;
  /** Its arguments, passed on exactly (or as written, with `verbatim`). */
  args?: string[];
  /** The process to wait for; the calling process by default. */
  waitPid?: number;
  /** The application to start again after a successful install. */
  relaunch?: string;
  /** Arguments for the relaunched application (needs `relaunch`). */
  relaunchArgs?: string[];
  /** A file to append relauncher's account of the hand-over to. */
  log?: string;
  /** Write the program's arguments onto its command line unquoted (installers' switches). */
  verbatim?: boolean;
  /** Wait for every process the program starts, not the program alone. */
  waitTree?: boolean;
  /** Seconds to wait for the application at most (1 to 86400); 120 by default. */
  waitTimeout?: number;
  /** Run the program through the consent prompt when Windows demands elevation. */
  elevate?: boolean;
  /** Folders from which no process may run when the program starts (the installation folder). */
  waitFolder?: string | string[];
  /** End the processes still running from `waitFolder` when `waitTimeout` runs out. */
  endFolderProcesses?: boolean;
  /** Relaunch the application also when the install failed, and tell it so. */
  relaunchOnFailure?: boolean;
  /** Exit codes that count as success beside 0 (for example 3010). */
  successCodes?: number[];
  /** --retry-code: exit codes after which the installer starts again (1 to 4294967295); needs retryFor. */
  retryCodes?: number[];
  /** --retry-for: how long, in seconds (1 to 86400), retries may go on; needs retryCodes. */
  retryFor?: number;
  /**
   * --sha256: files the updater verified (the installer, or an .msi package), held by
   * relauncher from before its wait until the installer has ended; one that differs starts
   * nothing. digest: 64 hexadecimal digits.
   */
  sha256?: { file: string; digest: string }[];
  /**
   * --replace and --with: the application's folder (or its one file) and the new version
   * prepared beside it, put in place after the wait, the old one kept until the update
   * has succeeded and put back when it fails.
   */
  replace?: { target: string; with: string };
  /** --trial: seconds (1 to 600) the relaunched new version is watched; needs replace and relaunch. */
  trial?: number;
  /** Show a small window with this text while the update is installed. */
  progress?: string;
  /** Hold off a logoff or shutdown while that window is up (needs `progress`). */
  holdShutdown?: boolean;
}

/** relauncher, started and known to be waiting. */
export interface HandOver {
  pid: number;
  /** The copy of relauncherw.exe that runs, in a new folder under the temporary folder. */
  executable: string;
}

/**
 * Starts relauncher (a copy of relauncherw.exe in a new temporary folder, detached, with
 * no window and no inherited handles) and resolves once it is waiting for the application;
 * the caller should then quit at once. Rejects with a TypeError naming a bad option,
 * with an Error carrying `exitCode` if relauncher exited at once, and off Windows.
 */
export function handOver(options: HandOverOptions): Promise<HandOver>;

/** relauncher's arguments for these options, without spawning anything. */
export function buildArguments(options: HandOverOptions): string[];
