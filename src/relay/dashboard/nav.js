// Moving between the dashboard's views by address, without loading the page again.
import { el } from './dom.js';

let route = () => {};

export function setRoute(handler) {
  route = handler;
}

export function go(path, replace = false) {
  if (replace) history.replaceState(null, '', path);
  else history.pushState(null, '', path);
  route();
}

// A link that the page follows itself (a new tab or window still works as a plain link).
export function link(path, attributes, ...children) {
  return el('a', {
    ...attributes,
    href: path,
    onclick: (event) => {
      if (event.button !== 0 || event.metaKey || event.ctrlKey || event.shiftKey || event.altKey) return;
      event.preventDefault();
      go(path);
    },
  }, ...children);
}
