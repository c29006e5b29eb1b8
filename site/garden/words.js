// The words the page and the program say to each other, and nothing else.
// The inline bridge in index.html keeps its own copy of the tray's words and
// of SHOW_WALL, as it runs before any module is fetched; a page test holds
// the two equal.

// The tray's words to the page: which view to show.
export const PLANT = 'plant';
export const MENU = 'menu';
export const WALL = 'wall';

// The page's words to the program: the wall may go behind the desktop icons,
// or a panel wants the keyboard in front of them.
export const SHOW_WALL = 'showWall';
export const SHOW_EDITOR = 'showEditor';

// The weekly copy: the page's request, followed by the backup's text, and
// the program's two answers, followed by the path written or why not.
export const BACKUP = 'backup:';
export const BACKUP_SAVED = 'backup-saved:';
export const BACKUP_FAILED = 'backup-failed:';
