// The fake compose item as office-addin-mock holds it: the mock stores the calls the test wrote
// (fake-item.mjs), as Office.js would hand the item to the handler in Outlook.
import { OfficeApp } from "office-addin-manifest";
import { OfficeMockObject } from "office-addin-mock";
import { itemCalls } from "./fake-item.mjs";

export function fakeItem(attachments, fail = {}) {
  const { item, held, calls } = itemCalls(attachments, fail);
  return { item: new OfficeMockObject(item, OfficeApp.Outlook), held, calls };
}
