"""Type stub of the binding module vrkfindersync, so that editors complete the sync client's facade.

Values cross the boundary as str, int, bool, dict (str keys), list and None; the "mach" value of a
lock question is an opaque MachMessage that is handed back unchanged.
"""

from typing import Any, Callable, Optional

__version__: str

Value = Any  # str | int | bool | dict[str, Value] | list[Value] | None

class NSNotification:
    @property
    def name(self) -> str: ...
    @property
    def object(self) -> Value: ...
    @property
    def userInfo(self) -> Optional[dict[str, Value]]: ...

class NSNotificationCenter:
    @staticmethod
    def defaultCenter() -> NSNotificationCenter: ...
    def addObserver(self, callback: Callable[[NSNotification], None], name: Optional[str],
                    object: Value = None) -> int:
        """Callbacks from the library's listener thread run with the GIL taken; an exception
        raised in one is reported and swallowed. Returns a token for removeObserver."""
    def removeObserver(self, token: int, name: Optional[str] = None,
                       object: Value = None) -> None: ...
    def postNotificationName(self, name: str, object: Value = None,
                             userInfo: Optional[dict[str, Value]] = None) -> None: ...

class MachMessage:
    """The address of a lock question; valid only inside the observer that received it."""
    def __eq__(self, other: object) -> bool: ...

class VRKFinderSync:
    """The library's controller. The static methods are the class facade; facade calls must
    not overlap."""
    @staticmethod
    def sharedInstance() -> VRKFinderSync: ...
    @staticmethod
    def setRootFolderPath(path: Optional[str]) -> None: ...
    @staticmethod
    def setIconType(type: int, path: Optional[str]) -> None:
        """type 0..5: processing, paused, succeeded, failed, locked, forbidden."""
    @staticmethod
    def hideIcons(flag: bool) -> None: ...
    @staticmethod
    def cleanIconsCache() -> None: ...
    @staticmethod
    def addMenuItems() -> None: ...
    @staticmethod
    def removeAllMenuItems() -> None: ...
    @staticmethod
    def changeLanguage(code: Optional[str]) -> None: ...
    @staticmethod
    def vrk_menuItemWithTitle(title: str, command: int) -> Value: ...
    @staticmethod
    def inject() -> bool:
        """Once at start: makes the extension inside the client's bundle the registered, enabled
        one (True on 10.10 and later, whatever the steps report). Blocks while pluginkit runs.
        Before 10.10 it loads the legacy Finder bundle into the running Finder instead and
        returns whether that worked (False when Finder is not running)."""
    @staticmethod
    def vrk_isYosemiteOrHigher() -> bool: ...
    @staticmethod
    def vrk_isEICapitanOrHigher() -> bool: ...
    @staticmethod
    def tryInstallLaunchDaemon() -> bool:
        """True when the privileged helper is installed or has just been installed. Blocks while
        the authorization is asked for (VRK_AUTHORIZATION answers) and the helper is blessed."""
    @staticmethod
    def copyItemAtPath(source: Optional[str], destination: Optional[str]) -> None:
        """Asks the helper to copy and returns at once; the reply is logged on the main queue,
        which runMainQueue serves."""
    @staticmethod
    def addFolderToFinderSidebar(path: Optional[str]) -> None:
        """Before 10.11: puts the folder first in the sidebar favourites, once."""
    def blessHelperWithLabel(self, label: Optional[str]) -> tuple[bool, Optional[tuple[str, int]]]:
        """(result, error); the error is None or (domain, code)."""
    @property
    def _authRef(self) -> Optional[int]: ...
    def notifyInjectedBundleDylibWillDieSoon(self) -> None: ...
    def setBadgesCache(self, cache: Optional[dict[str, int]]) -> None: ...
    def parseMenuItemInfosFrom(self, description: Value) -> Value: ...
    def vrk_prefixedTitleWithTitle(self, title: str) -> str: ...
    @property
    def rootFolderPath_(self) -> Optional[str]: ...
    @property
    def shouldHideBadge(self) -> bool: ...
    @property
    def injectAfterFinderRestartFailed(self) -> bool:
        """Before 10.10: Finder restarted and loading the bundle into it failed; the next call
        that reaches the bundle replays the root, the hide flag and the badges."""
    @property
    def badgeCache(self) -> Optional[dict[str, int]]: ...

class VRKYosemiteFindSyncExtensionHelper:
    """The extension installer's steps, through the plug-in registry tool; each blocks while
    the tool runs."""
    @staticmethod
    def _pluginPath() -> str: ...
    @staticmethod
    def _installedPluginPath() -> Optional[str]: ...
    @staticmethod
    def isInstalled() -> bool: ...
    @staticmethod
    def tryReinstall() -> bool: ...
    @staticmethod
    def isEnabled() -> bool: ...
    @staticmethod
    def tryEnable() -> bool: ...
    @staticmethod
    def _runCommand(command: Optional[str]) -> tuple[Optional[str], int]:
        """Runs the command with /bin/sh -c: (standard output, or None when it is not UTF-8 or
        nothing ran; exit reason 1 exited, 2 ended by a signal, 0 never started)."""

def runMainQueue(seconds: float) -> None:
    """Serves the main dispatch queue on the calling thread, which must be the main thread,
    for `seconds`, without holding the GIL."""
def startMachBridge(controller: VRKFinderSync) -> None: ...
def stopMachBridge() -> None: ...
def replyShouldShowLockMenuItemMachMsg(mach: Optional[MachMessage], showLock: bool,
                                       showUnlock: bool, isFile: bool) -> None: ...
